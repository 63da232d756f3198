// The yield report: its counting against small tables of rows, in the local
// and the central database, and its page as headless Chromium shows it.

#include "records/central_url.h"
#include "records/yield_report.h"
#include "station_writers.h"
#include "tool_run.h"

#include <QImage>
#include <QJsonArray>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUuid>

namespace {

struct Given
{
    const char *station, *port, *module;
    int attempt;
    const char *result, *reason, *started; // started: "hh:mm" of 2026-03-01 (UTC)
    double seconds;
};

HistoryRow row_of(const Given &given, const QString &sha)
{
    HistoryRow each = row(given.station, given.attempt, given.port, sha, given.result,
                          QStringLiteral("2026-03-01T%1:00.000Z").arg(given.started));
    each.module_id = given.module;
    each.reason = given.reason;
    each.seconds = given.seconds;
    return each;
}

// A fresh image for each run, so that a central database's older rows stay out of its reports.
QString fresh_sha()
{
    return QString::fromLatin1(QUuid::createUuid().toRfc4122().toHex() + QByteArray(32, 'a'));
}

QString central_url()
{
    return qEnvironmentVariable("TESSIK_TEST_PG_URL");
}

// The stores a report can read: the local one, and the central one when a test server runs.
QVector<std::shared_ptr<HistoryStore>> stores_with(const QVector<HistoryRow> &rows, const QTemporaryDir &dir)
{
    QVector<std::shared_ptr<HistoryStore>> stores{std::make_shared<HistoryStore>(dir.filePath("h.sqlite"))};
    for (HistoryRow each : rows)
        stores[0]->append(each);
    if (!central_url().isEmpty()) {
        stores << std::make_shared<HistoryStore>(parse_central_url(central_url()));
        QVector<HistoryRow> uniquely = rows;
        for (HistoryRow &each : uniquely)
            each.uid = new_row_uid();
        if (!stores[1]->insert_central(uniquely))
            qWarning() << stores[1]->error();
    }
    return stores;
}

QJsonDocument script_json(const QString &page, const QString &id)
{
    const QRegularExpression script(QStringLiteral("<script type=\"application/json\" id=\"%1\">(.*?)</script>").arg(id),
                                    QRegularExpression::DotMatchesEverythingOption);
    return QJsonDocument::fromJson(script.match(page).captured(1).toUtf8());
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    // Units by identity, else by a port's run; skipped modules and
    // interrupted attempts apart; the same figures from either database.
    void units_yields_and_reasons_from_a_table()
    {
        const Given given[] = {
            {"s1", "ttyUSB1", "M1", 1, "failed", "no_start_request", "06:10", 30},
            {"s1", "ttyUSB1", "M1", 1, "ok", "ok", "06:20", 30}, // flashed again: ok at last
            {"s1", "ttyUSB1", "M2", 1, "ok", "ok", "06:30", 40},
            {"s1", "ttyUSB2", "", 1, "failed", "reset_timeout", "07:05", 10}, // a run that ends failed
            {"s1", "ttyUSB2", "", 2, "failed", "reset_timeout", "07:06", 10},
            {"s1", "ttyUSB2", "", 1, "ok", "ok", "07:30", 30}, // the next run
            {"s1", "ttyUSB2", "M3", 0, "skipped", "already_done", "07:40", 0},
            {"s2", "ttyUSB10", "M4", 1, "interrupted", "process_gone", "08:00", 5},
        };
        const QString sha = fresh_sha();
        QVector<HistoryRow> rows;
        for (const Given &each : given)
            rows << row_of(each, sha);
        QTemporaryDir dir;
        HistoryFilter filter;
        filter.sha256_prefix = sha;
        for (const auto &store : stores_with(rows, dir)) {
            YieldData data;
            QVERIFY2(store->yield(filter, 5, data), qPrintable(store->error()));
            const YieldSummary summary = summarize(data);
            const YieldCount &total = summary.total;
            QCOMPARE(QVector<qint64>({total.units, total.units_ok, total.units_failed, total.in_progress(),
                                      total.first_pass_ok, total.attempts, total.skipped, total.interrupted}),
                     QVector<qint64>({5, 3, 2, 0, 2, 7, 1, 1}));
            QCOMPARE(data.rows_total, 8);
            QCOMPARE(data.rows.size(), 5); // the newest, up to the limit
            QCOMPARE(data.rows.first().module_id, QStringLiteral("M4"));
            QStringList reasons;
            for (const ReasonCount &reason : data.reasons)
                reasons << reason.reason + '=' + QString::number(reason.attempts);
            QCOMPARE(reasons, QStringList({"reset_timeout=2", "no_start_request=1", "process_gone=1"}));
            QCOMPARE(summary.buckets, QStringList({"2026-03-01T06", "2026-03-01T07", "2026-03-01T08"}));
            QCOMPARE(summary.timeline.value("s1").at(1).units, 2);
            QCOMPARE(summary.timeline.value("s2").at(2).units, 1);
            QCOMPARE(summary.port_names, QStringList({"ttyUSB1", "ttyUSB2", "ttyUSB10"}));
            QCOMPARE(total.mean_seconds(), 25.0); // the six attempts that ran to their end
            const QJsonObject totals = report_totals(data, summary);
            QCOMPARE(totals.value("first_pass_yield").toDouble(), 0.4);
            QCOMPARE(totals.value("final_yield").toDouble(), 0.6);
        }
    }

    // A port is marked beside its station's other ports, not beside another station's.
    void a_slow_port_and_a_failing_port_are_marked()
    {
        QVector<HistoryRow> rows;
        const QString sha = fresh_sha();
        for (int port = 1; port <= 4; ++port) {
            for (int unit = 0; unit < 4; ++unit) {
                const bool fails_first = port == 3 && unit < 2;
                const QString started = QStringLiteral("%1:%2").arg(10 + unit).arg(port * 10);
                const QString module = QStringLiteral("M%1-%2").arg(port).arg(unit);
                const QByteArray p = QByteArray("p") + QByteArray::number(port);
                if (fails_first)
                    rows << row_of({"s", p.constData(), qPrintable(module), 1, "failed", "port_lost",
                                    qPrintable(started), 30}, sha);
                rows << row_of({"s", p.constData(), qPrintable(module), 1, "ok", "ok",
                                qPrintable(started.left(3) + QString::number(port * 10 + 5)), port == 2 ? 90.0 : 30.0},
                               sha);
            }
        }
        rows << row_of({"other", "p1", "X", 1, "ok", "ok", "09:00", 400}, sha);
        rows.last().started_utc = "2026-03-01 9:00"; // a time of another form is counted, not drawn
        QTemporaryDir dir;
        HistoryFilter filter;
        filter.sha256_prefix = sha;
        YieldData data;
        QVERIFY(stores_with(rows, dir).first()->yield(filter, 100, data));
        QString marks;
        for (const PortYield &port : summarize(data).ports)
            marks += port.station + '/' + port.port + (port.slow ? " slow" : "") + (port.worse ? " worse" : "") + ';';
        QCOMPARE(marks, QStringLiteral("other/p1;s/p1;s/p2 slow;s/p3 worse;s/p4;"));
        QCOMPARE(summarize(data).total.units, 17);
    }

    // The page as a supervisor opens it: offline, its figures those of its
    // rows, the rows and totals as JSON, nothing fetched.
    void a_page_in_chromium()
    {
        const QString chromium = QStandardPaths::findExecutable("chromium");
        if (chromium.isEmpty())
            QSKIP("no chromium: scripts/test installs it");
        QVector<HistoryRow> rows;
        const QString sha = fresh_sha();
        const char *const reasons[] = {"no_start_request", "reset_timeout", "no_start_request"};
        for (int station = 0; station < 3; ++station) {
            for (int port = 1; port <= 3; ++port) {
                const QByteArray name = "line-" + QByteArray::number(station), p = "ttyUSB" + QByteArray::number(port);
                const QString at = QStringLiteral("%1:%2").arg(7 + port, 2, 10, QLatin1Char('0')).arg(10 + station);
                rows << row_of({name, p, "", 1, "failed", reasons[station], qPrintable(at), 20}, sha)
                     << row_of({name, p, "", 2, "ok", "ok", qPrintable(at.left(3) + "40"), 20}, sha)
                     << row_of({name, p, "", 1, port == 2 ? "failed" : "ok", port == 2 ? "port_lost" : "ok",
                                qPrintable(at.left(3) + "50"), 20}, sha);
            }
        }
        QTemporaryDir dir;
        const auto stores = stores_with(rows, dir);
        QStringList sources = {"--history-db", dir.filePath("h.sqlite")};
        if (stores.size() > 1)
            sources << "|" << "--central" << "--central-db" << central_url();
        for (const QString &source : sources.join(' ').split(" | ")) {
            const QString page_path = dir.filePath("report.html");
            const Run made = run_tool(QStringList{"--report", page_path, "--sha256", sha.left(16)} + source.split(' '));
            QVERIFY2(made.exit_code == 0, qPrintable(made.err + source));
            QFile file(page_path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString page = QString::fromUtf8(file.readAll());
            QVERIFY(page.contains("Content-Security-Policy\" content=\"default-src 'none'"));
            QVERIFY(!page.contains(QRegularExpression("(src|href)=|url\\(|@import|https?://")));

            QProcess browser;
            const QStringList headless = {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                          "--user-data-dir=" + dir.filePath("profile"), "--window-size=1280,1600"};
            browser.start(chromium, headless + QStringList{"--dump-dom", QUrl::fromLocalFile(page_path).toString()});
            QVERIFY(browser.waitForFinished(180000));
            const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
            const QJsonArray shown_rows = script_json(dom, "rows").array();
            const QJsonObject totals = script_json(dom, "totals").object();
            QCOMPARE(shown_rows.size(), rows.size());
            QCOMPARE(shown_rows.first().toObject().keys().size(), history_columns().size());
            // Without identities a unit is a run: its attempt 1, ok at its end or failed.
            int units = 0, ok = 0, first_pass = 0;
            QMap<QString, int> failures;
            for (const QJsonValue &value : shown_rows) {
                const QJsonObject each = value.toObject();
                const bool is_ok = each.value("result").toString() == "ok";
                units += each.value("attempt").toInt() == 1;
                ok += is_ok;
                first_pass += is_ok && each.value("attempt").toInt() == 1;
                if (!is_ok)
                    ++failures[each.value("reason").toString()];
            }
            QCOMPARE(totals.value("units").toInt(), units);
            QCOMPARE(totals.value("ok").toInt(), ok);
            QCOMPARE(totals.value("failed").toInt(), units - ok);
            QCOMPARE(totals.value("first_pass_yield").toDouble(), std::round(10000.0 * first_pass / units) / 10000);
            QVERIFY(dom.contains(QStringLiteral("<td id=\"total-units\">%1</td>").arg(units)));
            for (const QJsonValue &value : script_json(dom, "reason-counts").array())
                QCOMPARE(value.toObject().value("attempts").toInt(), failures.take(value.toObject().value("reason").toString()));
            QVERIFY(failures.isEmpty());
            QCOMPARE(dom.count("<figure>"), 3); // a timeline per station

            const QString shot = dir.filePath("report.png");
            browser.start(chromium, headless + QStringList{"--screenshot=" + shot, QUrl::fromLocalFile(page_path).toString()});
            QVERIFY(browser.waitForFinished(180000));
            const QImage image(shot);
            QCOMPARE(image.width(), 1280);
            QSet<QRgb> colours;
            for (int y = 0; y < image.height(); y += 7)
                for (int x = 0; x < image.width(); x += 7)
                    colours.insert(image.pixel(x, y));
            QVERIFY2(colours.size() > 20, "the page drew its charts and tables");
        }
    }
};

QTEST_GUILESS_MAIN(TestReport)
#include "test_report.moc"
