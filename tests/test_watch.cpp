// The fixture loop (--watch): modules plugged in one after another on one
// port name, a module left in place, the station's counters, the options.

#include "sim_harness.h"
#include "tool_run.h"
#include "wait_until.h"

#include "cli/command_line.h"
#include "engine/fixture_loop.h"
#include "engine/module_probe.h"
#include "records/history_store.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

const QStringList quick = {QStringLiteral("--app-baud"), QStringLiteral("115200")};

QStringList watch_args(const QString &image, const QString &port, const QStringList &more = {})
{
    return QStringList{QStringLiteral("--json"), QStringLiteral("--watch"), QStringLiteral("--file"), image,
                       QStringLiteral("--port"), port} + more;
}

int number(const QJsonObject &event, const char *key)
{
    return event.value(QLatin1String(key)).toInt(-1);
}

// What the module on the scripted line does: its answer to "+++" at each rate.
struct ScriptedModule
{
    std::function<QByteArray(int baud)> answer;
    QList<int> asked; // the rate of every "+++"
    OpenFailure failure = OpenFailure::none;
    bool open = false;
};

// The answer arrives through the input hint, as from the event loop.
class ScriptedLine : public Transport
{
public:
    explicit ScriptedLine(ScriptedModule &module) : m(module) {}
    bool open() override { return m.open = m.failure == OpenFailure::none; }
    bool isOpen() const override { return m.open; }
    void close() override { m.open = false; }
    OpenFailure open_failure() const override { return m.failure; }
    void flush() override {}
    qint64 write(const char *data, qint64 len) override
    {
        if (QByteArray(data, int(len)) == "+++") {
            m.asked << baud;
            pending += m.answer(baud);
            if (!pending.isEmpty() && hint)
                QTimer::singleShot(0, &alive, [this] { if (hint) hint(); });
        }
        return len;
    }
    int read(char *) override { return 0; }
    QByteArray readAll() override { return std::exchange(pending, QByteArray()); }
    bool setBaudRate(qint32 rate) override { return baud = rate, true; }
    qint32 baudRate() const override { return baud; }
    void apply_line_settings() override {}
    bool failed() const override { return false; }
    void set_input_hint(std::function<void()> h) override { hint = std::move(h); }

private:
    ScriptedModule &m;
    int baud = 9600;
    QByteArray pending;
    std::function<void()> hint;
    QObject alive; // a late delivery ends with the line
};

// The "+++" the module read since its new application started.
int asks_after_update(const SimModule &sim)
{
    QByteArray read;
    bool started = false;
    for (const QJsonObject &record : sim.records()) {
        started = started || record.value(QStringLiteral("event")).toString() == QLatin1String("app_started");
        if (started && record.value(QStringLiteral("dir")).toString() == QLatin1String("rx"))
            read += QByteArray::fromHex(record.value(QStringLiteral("hex")).toString().toLatin1());
    }
    return countOccurrences(read, "+++");
}

ProbeOptions quick_probe(ScriptedModule &module)
{
    ProbeOptions options;
    options.open_transport = [&module](const QString &) { return std::make_unique<ScriptedLine>(module); };
    options.settle_ms = 1;
    options.reply_ms = 20;
    options.rest_ms = 5;
    options.reopen_ms = 5;
    return options;
}

} // namespace

class TestWatch : public QObject
{
    Q_OBJECT

private slots:
    void probe_replies()
    {
        const auto none = ProbeReply::none, app = ProbeReply::application, boot = ProbeReply::boot_loader;
        const struct { QByteArray reply; int baud; ProbeReply heard; } cases[] = {
            {"\r\nOK\r\n", 115200, app}, // ok with line ends
            {"OK", 9600, app},           // ok at a slow rate
            {"\r\nO", 115200, none},     // half of ok
            {"", 115200, none},          // nothing
            {"CC", 115200, boot},        // start characters
            {"C", 57600, none},          // a start character at another rate
            {"\x05" "C", 115200, none},   // a start character among garbage
        };
        for (const auto &c : cases)
            QCOMPARE(int(classify_probe_reply(c.reply, c.baud)), int(c.heard));
    }

    // The rates in scan order until one answers, then that rate first; a
    // round of silence is told once per round; a missing port is retried.
    void probe_asks_rate_after_rate()
    {
        ScriptedModule line;
        int answering = 57600;
        line.answer = [&](int baud) { return baud == answering ? QByteArray("\r\nOK\r\n") : QByteArray(); };
        ModuleProbe probe(QStringLiteral("ttyTEST"), quick_probe(line));
        QSignalSpy answered(&probe, &ModuleProbe::answered);
        QSignalSpy silent(&probe, &ModuleProbe::silent_round);
        QSignalSpy missing(&probe, &ModuleProbe::port_missing);
        probe.start();
        QVERIFY(answered.wait(5000));
        QCOMPARE(answered.first().first().toInt(), 57600);
        QCOMPARE(line.asked, QList<int>({115200, 9600, 14400, 19200, 38400, 57600}));
        QVERIFY(answered.wait(5000));
        QCOMPARE(line.asked.last(), 57600);
        QCOMPARE(silent.size(), 0);

        answering = 0;
        line.asked.clear();
        QVERIFY(silent.wait(5000));
        QCOMPARE(line.asked, QList<int>({57600, 115200, 9600, 14400, 19200, 38400}));
        QCOMPARE(silent.size(), 1);

        probe.stop();
        line.failure = OpenFailure::no_such_port;
        probe.start();
        QVERIFY(missing.wait(5000));
        QVERIFY(missing.wait(5000)); // tried again
        line.failure = OpenFailure::none;
        line.answer = [](int baud) { return baud == 115200 ? QByteArray("C") : QByteArray(); };
        QVERIFY(answered.wait(5000));
        QCOMPARE(answered.last().first().toInt(), 115200);
        probe.stop();
        QVERIFY(!line.open);
    }

    void station_counters()
    {
        StationCounters tally;
        QCOMPARE(tally.per_hour(10), 0.0);
        QCOMPARE(tally.mean_seconds(), 0.0);
        tally.add(PortResult::success, 8);
        tally.add(PortResult::failure, 2);
        tally.add(PortResult::success, 20);
        tally.add(PortResult::skipped, 50); // left as it was: no unit updated
        QCOMPARE(tally.skipped, 1);
        QCOMPARE(tally.ok, 2);
        QCOMPARE(tally.failed, 1);
        QCOMPARE(tally.per_hour(60), 180.0);
        QCOMPARE(tally.mean_seconds(), 10.0);
        QCOMPARE(tally.per_hour(0), 0.0);
    }

    void watch_options()
    {
        const auto run = CommandLine::Mode::run, bad = CommandLine::Mode::usage_error;
        const QString target = " --file a.bin --port ttyUSB0";
        const struct { QString args; CommandLine::Mode mode; double gone_after; int count; } cases[] = {
            {"--watch" + target, run, 3.0, 0},
            {"--watch --gone-after 1.5 --count 3" + target, run, 1.5, 3},
            {"--count 3" + target, bad, 3.0, 3}, // count without watch
            {"--watch --gone-after 0" + target, bad, 0.0, 0},
            {"--watch --count -1" + target, bad, 3.0, -1},
            {"--watch --parallel", CommandLine::Mode::window, 3.0, 0},
        };
        for (const auto &c : cases) {
            const CommandLine line = parse_command_line(("tool " + c.args).split(' '));
            QCOMPARE(int(line.mode), int(c.mode));
            if (line.mode != bad) {
                QVERIFY(line.watch);
                QCOMPARE(line.gone_after_seconds, c.gone_after);
                QCOMPARE(line.count, c.count);
            }
        }
    }

    // Three modules on one port name, one after another: the first stays in
    // place after its update and must not be flashed again until taken out.
    void modules_come_and_go()
    {
        QTemporaryDir dir;
        const QString image = write_image(dir, 2000);
        const QString port = dir.filePath(QStringLiteral("ttyFIXTURE"));
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        QByteArray err; // the tool's last words, when a module waits in vain
        auto told = [&] { return (err = tool.readAllStandardError().right(3000)).constData(); };
        {
            SimModule left_in(quick + QString("--after-update app --after-update-seconds 200").split(' '));
            left_in.setLink(port);
            QVERIFY(left_in.start());
            tool.start(TESSIK_TOOL_PATH, watch_args(image, port, QString("--count 3 --gone-after 1 --retries 1").split(' ')));
            QVERIFY(tool.waitForStarted());
            if (!left_in.waitForEvent(QStringLiteral("app_started"), 60000))
                QFAIL(told());
            // Nine asks since the update: a whole round of rates, the gone-after
            // time and the ask that would find it again. Had the tool taken it
            // for gone, it would have said so before the last of them.
            if (!wait_until([&] { return asks_after_update(left_in) >= 9; }, 60000))
                QFAIL(told());
            QCoreApplication::processEvents(); // what the tool said before them
            QVERIFY2(!tool.readAllStandardError().contains("module taken out"), "taken out while answering");
            QCOMPARE(left_in.events(QStringLiteral("xmodem")).size(), 1);
            QVERIFY(left_in.received(115200).contains("+++"));
            QCOMPARE(left_in.outData(), file_bytes(image));
            QVERIFY(left_in.stop());
        }
        // The last unit, the one that reaches the count, is retried once.
        // (At the boot loader's rate: a module reading the tool's CAN CAN late,
        // after the port closed and fell back to the rate it was opened at,
        // would take it for noise.) The other module answers at another rate.
        const QStringList other_rate = {QStringLiteral("--app-baud"), QStringLiteral("57600")};
        const QStringList failing_once = quick + QString("--reply-after-block 2:43 --faulty-transfers 1").split(' ');
        for (const QStringList &args : {other_rate, failing_once}) {
            SimModule next(args);
            next.setLink(port);
            QVERIFY(next.start());
            if (!next.waitForEvent(QStringLiteral("done"), 90000))
                QFAIL(told());
            QVERIFY(next.waitForFinished(10000));
            QCOMPARE(next.events(QStringLiteral("xmodem")).size(), args == other_rate ? 1 : 2);
            QCOMPARE(next.outData(), file_bytes(image));
        }
        const Run run = finish(tool, 60000);
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        QVERIFY(run.all_json);
        QVERIFY(run.err.contains(QStringLiteral("attempt 2 of 2")));
        const QList<QJsonObject> starts = run.of(QStringLiteral("unit_start"));
        const QList<QJsonObject> ends = run.of(QStringLiteral("unit_end"));
        QCOMPARE(starts.size(), 3);
        QCOMPARE(ends.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(number(starts[i], "unit"), i + 1);
            QCOMPARE(number(starts[i], "total"), i + 1);
            QCOMPARE(number(ends[i], "total"), i + 1);
            QCOMPARE(ends[i].value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
        }
        const QJsonObject summary = run.events.last();
        QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        QCOMPARE(number(summary, "units"), 3);
        QCOMPARE(number(summary, "units_ok"), 3);
        QCOMPARE(number(summary, "units_failed"), 0);
        const QJsonObject station = run.events.at(run.events.size() - 2);
        QCOMPARE(station.value(QStringLiteral("event")).toString(), QStringLiteral("station"));
        QCOMPARE(number(station, "units_ok"), 3);
        QVERIFY(station.value(QStringLiteral("mean_seconds")).toDouble() > 0);
    }

    // With the checks and the history: each unit is verified and is a row
    // with its identity; the first module put back is recognised and left
    // as it is (not counted); a new module then reaches the count.
    void checked_units_are_rows_and_a_module_put_back_is_left()
    {
        QTemporaryDir dir;
        const QString image = write_image(dir, 1500);
        const QString port = dir.filePath(QStringLiteral("ttyCHECKED"));
        const QString db = dir.filePath(QStringLiteral("h.sqlite"));
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.start(QStringLiteral(TESSIK_TOOL_PATH),
                   watch_args(image, port, {"--count", "2", "--gone-after", "1", "--verify", "--id-command",
                                            "AT+ID?\\r", "--history-db", db}));
        QVERIFY(tool.waitForStarted());
        auto rows = [&db] { // the units that ended
            QVector<HistoryRow> found;
            HistoryStore(db).rows({}, found);
            found.erase(std::remove_if(found.begin(), found.end(),
                                       [](const HistoryRow &row) { return row.result == started_result; }),
                        found.end());
            return found;
        };
        const QStringList module = quick + QStringList{"--id-command", "AT+ID?\\r", "--after-update", "app"};
        const QStringList ids = {"TESSIK-SIM-0001", "TESSIK-SIM-0001", "TESSIK-SIM-0002"};
        for (int i = 0; i < ids.size(); ++i) {
            SimModule sim(module + QStringList{"--id-reply", "\\r\\n" + ids[i] + "\\r\\nOK\\r\\n"});
            sim.setLink(port);
            QVERIFY(sim.start());
            QTRY_COMPARE_WITH_TIMEOUT(rows().size(), i + 1, 60000);
            QCOMPARE(sim.events(QStringLiteral("xmodem")).size(), i == 1 ? 0 : 1);
            QVERIFY(sim.stop());
        }
        const Run run = finish(tool, 30000);
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        const QList<QJsonObject> ends = run.of(QStringLiteral("unit_end"));
        QCOMPARE(ends.size(), 3);
        const QVector<HistoryRow> written = rows(); // newest first
        const QStringList results = {"ok", "skipped", "ok"}, verified = {"boot", "", "boot"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(ends[i].value(QStringLiteral("module_id")).toString(), ids[i]);
            QCOMPARE(ends[i].value(QStringLiteral("result")).toString(), results[i]);
            QCOMPARE(ends[i].value(QStringLiteral("verified")).toString(), verified[i]);
            const HistoryRow &row = written[2 - i];
            QCOMPARE(QStringList({row.module_id, row.result, row.verified, row.port}),
                     QStringList({ids[i], results[i], verified[i], port}));
        }
        QCOMPARE(written[1].reason, QStringLiteral("already_done"));
        QCOMPARE(written[0].crc_mode, QStringLiteral("crc"));
        QCOMPARE(number(run.events.last(), "units"), 2);
        QCOMPARE(number(run.events.last(), "units_skipped"), 1);
    }

    // SIGINT: an idle station ends at once with exit 0; a unit being
    // written gets CAN CAN and ends as aborted.
    void a_signal_ends_the_watch()
    {
        QTemporaryDir dir;
        // Even one that comes while the tool starts up.
        const Run idle = run_tool_signalled_at_start(
            QStringLiteral("INT"), watch_args(write_image(dir, 600), dir.filePath(QStringLiteral("ttyEMPTY"))));
        QCOMPARE(idle.exit_code, 0);
        QCOMPARE(idle.events.last().value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        QCOMPARE(number(idle.events.last(), "units"), 0);

        SimModule sim(quick + QStringList{QStringLiteral("--pace")});
        QVERIFY(sim.start());
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.start(QStringLiteral(TESSIK_TOOL_PATH), watch_args(write_image(dir, 200000), sim.link()));
        QVERIFY(tool.waitForStarted());
        QVERIFY(sim.waitForEvent(QStringLiteral("first_block"), 30000));
        ::kill(static_cast<pid_t>(tool.processId()), SIGINT);
        const Run run = finish(tool, 20000);
        QCOMPARE(run.exit_code, 130);
        QCOMPARE(run.of(QStringLiteral("unit_end")).size(), 1);
        QCOMPARE(run.of(QStringLiteral("unit_end")).first().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("aborted"));
        QCOMPARE(number(run.events.last(), "units_failed"), 1);
        QVERIFY(sim.waitForEvent(QStringLiteral("tool_can"), 5000));
    }
};

QTEST_GUILESS_MAIN(TestWatch)
#include "test_watch.moc"
