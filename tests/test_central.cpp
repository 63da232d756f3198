// The central PostgreSQL database against a real server (scripts/test starts
// one and names it in TESSIK_TEST_PG_URL): stations writing at once, the
// server going away and coming back, --sync, rows sent twice.

#include "records/central_sender.h"
#include "records/history_store.h"
#include "records/history_writer.h"
#include "sim_harness.h"
#include "tool_run.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>
#include <QtTest>

namespace {

constexpr int stations = 4;
constexpr int rows_per_station = 100;

QString server_url()
{
    return qEnvironmentVariable("TESSIK_TEST_PG_URL");
}

// "start" or "stop" the test server.
bool server(const QString &action)
{
    return QProcess::execute(qEnvironmentVariable("TESSIK_TEST_PG_SERVER"),
                             {action, qEnvironmentVariable("TESSIK_TEST_PG_DIR")})
           == 0;
}

HistoryRow row(const QString &station, int attempt)
{
    HistoryRow row;
    row.station = station;
    row.attempt = attempt;
    row.result = QStringLiteral("ok");
    row.started_utc = row.ended_utc = QStringLiteral("2026-01-01T00:00:00.000Z");
    return row;
}

// The attempts of a station's rows in the central table, in local id order.
QVector<int> central_attempts(const QString &station)
{
    HistoryStore central(parse_central_url(server_url()));
    HistoryFilter filter;
    filter.station = station;
    filter.oldest_first = true;
    QVector<HistoryRow> rows;
    if (!central.rows(filter, rows))
        qWarning() << central.error();
    QVector<int> attempts;
    for (const HistoryRow &each : qAsConst(rows))
        attempts << each.attempt;
    return attempts;
}

QVector<int> one_to(int n)
{
    QVector<int> list;
    for (int i = 1; i <= n; ++i)
        list << i;
    return list;
}

// The child process of four_stations_write_at_once: one station.
int write_station(const QString &db, const QString &station)
{
    HistoryWriter writer(db, server_url());
    bool central_failed = false;
    QObject::connect(&writer, &HistoryWriter::central_failed, [&](const QString &message) {
        central_failed = true;
        qWarning("%s", qPrintable(message));
    });
    for (int i = 1; i <= rows_per_station; ++i)
        writer.record(row(station, i));
    writer.finish();
    return writer.written() == rows_per_station && !writer.has_failed() && !central_failed ? 0 : 1;
}

} // namespace

class TestCentral : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (server_url().isEmpty())
            QSKIP("no PostgreSQL test server: scripts/test starts one");
    }

    void four_stations_write_at_once()
    {
        QTemporaryDir dir;
        const QString prefix = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
        std::vector<std::unique_ptr<QProcess>> children;
        for (int i = 0; i < stations; ++i) {
            children.push_back(std::make_unique<QProcess>());
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("TESSIK_TEST_STATION"),
                       dir.filePath(QStringLiteral("s%1.sqlite").arg(i)) + QLatin1Char('|') + prefix
                           + QString::number(i));
            children.back()->setProcessEnvironment(env);
            children.back()->start(QCoreApplication::applicationFilePath(), QStringList());
        }
        for (const auto &child : children) {
            QVERIFY(child->waitForFinished(120000));
            QVERIFY2(child->exitCode() == 0, child->readAllStandardError().constData());
        }
        for (int i = 0; i < stations; ++i) {
            QCOMPARE(central_attempts(prefix + QString::number(i)), one_to(rows_per_station));
            HistoryStore local(dir.filePath(QStringLiteral("s%1.sqlite").arg(i)));
            HistoryFilter pending;
            pending.pending = true;
            QVector<HistoryRow> left;
            QVERIFY(local.rows(pending, left));
            QCOMPARE(left.size(), 0);
        }
    }

    void rows_written_while_the_server_is_down_arrive_once()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(QStringLiteral("station.sqlite"));
        const QString station = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
        {
            HistoryWriter writer(db, server_url());
            QSignalSpy unreachable(&writer, &HistoryWriter::central_failed);
            for (int i = 1; i <= 30; ++i)
                writer.record(row(station, i));
            QTRY_COMPARE_WITH_TIMEOUT(central_attempts(station).size(), 30, 20000);
            QVERIFY(server("stop"));
            for (int i = 31; i <= 60; ++i)
                writer.record(row(station, i));
            QTRY_COMPARE_WITH_TIMEOUT(unreachable.size(), 1, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(writer.written(), 60, 20000);

            // A port's update goes on as if nothing were amiss.
            SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("115200")});
            QVERIFY(sim.start());
            const Run run =
                run_tool({QStringLiteral("--file"), write_image(dir, 300), QStringLiteral("--port"),
                          sim.link(), QStringLiteral("--history-db"), db, QStringLiteral("--central-db"),
                          server_url(), QStringLiteral("--station"), station});
            QCOMPARE(run.exit_code, 0);
            QVERIFY(run.err.contains(QStringLiteral("rows stay pending")));
            const Run sync = run_tool({QStringLiteral("--sync"), QStringLiteral("--history-db"), db,
                                       QStringLiteral("--central-db"), server_url()});
            QCOMPARE(sync.exit_code, 1);
            QVERIFY(sync.out.contains(QStringLiteral("31 pending")));
            QVERIFY(server("start"));
            writer.finish();
            QCOMPARE(unreachable.size(), 1);
        }
        Run sync = run_tool({QStringLiteral("--sync"), QStringLiteral("--history-db"), db,
                             QStringLiteral("--central-db"), server_url()});
        QCOMPARE(sync.exit_code, 0);
        QVERIFY(sync.out.contains(QStringLiteral("sent 31 rows; 0 pending")));

        // Everything sent once more (as after a crash between the server's
        // confirmation and the local mark): the central table stays as it is.
        {
            QSqlDatabase local = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
            local.setDatabaseName(db);
            QVERIFY(local.open());
            QVERIFY(QSqlQuery(local).exec(QStringLiteral("INSERT INTO pending SELECT id FROM history")));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("raw"));
        sync = run_tool({QStringLiteral("--sync"), QStringLiteral("--history-db"), db,
                         QStringLiteral("--central-db"), server_url()});
        QCOMPARE(sync.exit_code, 0);
        QVector<int> expected = one_to(60);
        expected << 1; // the tool's own row
        QCOMPARE(central_attempts(station), expected);

        const Run across = run_tool({QStringLiteral("--history"), QStringLiteral("--central"),
                                     QStringLiteral("--stats"), QStringLiteral("--station"), station,
                                     QStringLiteral("--csv"), QStringLiteral("--central-db"), server_url()});
        QCOMPARE(across.exit_code, 0);
        QCOMPARE(across.out.count(QStringLiteral("\r\n")), 3); // header, the writer's port, the tool's port
    }

    void a_restarted_server_is_connected_again_at_once()
    {
        QTemporaryDir dir;
        const QString station = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
        HistoryWriter writer(dir.filePath(QStringLiteral("station.sqlite")), server_url());
        QSignalSpy unreachable(&writer, &HistoryWriter::central_failed);
        writer.record(row(station, 1));
        QTRY_COMPARE_WITH_TIMEOUT(central_attempts(station).size(), 1, 10000);
        QVERIFY(server("stop") && server("start"));
        writer.record(row(station, 2));
        QTRY_COMPARE_WITH_TIMEOUT(central_attempts(station).size(), 2, 10000); // not at the next retry
        writer.finish();
        QCOMPARE(unreachable.size(), 0);
    }

    // A refused login, an unknown database and a table of an older layout:
    // one clear message without the password, the rows stay pending.
    void a_server_that_cannot_take_the_rows_leaves_them_pending()
    {
        const CentralUrl server = parse_central_url(server_url());
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("admin"));
            admin.setHostName(server.host);
            admin.setUserName(server.user);
            admin.setDatabaseName(server.database);
            QVERIFY(admin.open());
            QSqlQuery(admin).exec(QStringLiteral("CREATE DATABASE older"));
            admin.setDatabaseName(QStringLiteral("older"));
            admin.close();
            QVERIFY(admin.open());
            QSqlQuery(admin).exec(
                QStringLiteral("CREATE TABLE IF NOT EXISTS history (id SERIAL, station TEXT)"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("admin"));

        QTemporaryDir dir;
        const QString db = dir.filePath(QStringLiteral("station.sqlite"));
        HistoryStore local(db);
        HistoryRow one = row(QStringLiteral("s"), 1);
        QVERIFY(local.append(one, true));
        const QString socket = QStringLiteral("?host=") + server.host;
        const struct
        {
            QString url;
            QString says;
        } cases[] = {
            {QStringLiteral("postgresql://intruder:s3cr3t@/postgres") + socket, QStringLiteral("intruder")},
            {QStringLiteral("postgresql://tessik:s3cr3t@/nosuchdb") + socket, QStringLiteral("nosuchdb")},
            {QStringLiteral("postgresql://tessik:s3cr3t@/older") + socket, QStringLiteral("older layout")},
        };
        for (const auto &test : cases) {
            const Run sync = run_tool({QStringLiteral("--sync"), QStringLiteral("--history-db"), db,
                                       QStringLiteral("--central-db"), test.url});
            QCOMPARE(sync.exit_code, 1);
            QVERIFY2(sync.err.contains(test.says), qPrintable(sync.err));
            QVERIFY(!sync.err.contains(QStringLiteral("s3cr3t"))
                    && !sync.out.contains(QStringLiteral("s3cr3t")));
            QVERIFY(sync.out.contains(QStringLiteral("sent 0 rows; 1 pending")));
        }
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString job = qEnvironmentVariable("TESSIK_TEST_STATION");
    if (!job.isEmpty())
        return write_station(job.section(QLatin1Char('|'), 0, 0), job.section(QLatin1Char('|'), 1));
    TestCentral test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_central.moc"
