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
    QByteArray identity; // the answer to "AT+ID?\r"
    int identity_asked = 0;
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
    OpenFailure openFailure() const override { return m.failure; }
    void flush() override {}
    qint64 write(const char *data, qint64 len) override
    {
        const QByteArray bytes(data, int(len));
        if (bytes == "+++") {
            m.asked << baud;
            pending += m.answer(baud);
        } else if (bytes == "AT+ID?\r") {
            ++m.identity_asked;
            pending += "\r\n" + m.identity + "\r\nOK\r\n";
        }
        if (!pending.isEmpty() && hint)
            QTimer::singleShot(0, &alive, [this] { if (hint) hint(); });
        return len;
    }
    int read(char *) override { return 0; }
    QByteArray readAll() override { return std::exchange(pending, QByteArray()); }
    bool setBaudRate(qint32 rate) override { return baud = rate, true; }
    qint32 baudRate() const override { return baud; }
    void applyLineSettings() override {}
    bool failed() const override { return false; }
    void setInputHint(std::function<void()> h) override { hint = std::move(h); }

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

int history_rows(const QString &db)
{
    QVector<HistoryRow> rows;
    HistoryStore(db).rows({}, rows);
    return rows.size();
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

    // The probe that found a module knows its rate: the unit's update starts
    // there, with no scan of its own (which would begin again at 115200).
    void a_unit_starts_at_the_rate_its_probe_found()
    {
        QTemporaryDir dir;
        SimModule module(QString("--app-baud 57600").split(' '));
        module.useToolJournal();
        module.setLink(dir.filePath("tty"));
        QVERIFY(module.start());
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.start(TESSIK_TOOL_PATH, watch_args(write_image(dir, 2000), module.link(), {"--count", "1"}));
        QVERIFY(module.waitForEvent("done", 90000));
        QCOMPARE(finish(tool, 60000).exit_code, 0);
        const QList<int> rates = module.escapeRates();
        const int found = rates.indexOf(57600);
        QVERIFY2(found > 0, qPrintable(QString::number(rates.size())));
        QCOMPARE(rates.mid(found).count(57600), rates.size() - found);
        QCOMPARE(module.events("xmodem").size(), 1);
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

    // It reboots into its new application, at its own rate or (found in its
    // boot loader) at another: the questions it hears then come after the
    // moment where a module taken for gone would be found again.
    void a_module_left_in_after_its_update_is_one_unit()
    {
        const QStringList reboots = QString("--after-update app --after-update-reboot 300").split(' ');
        const struct { QStringList module; int baud; } cases[] = {
            {quick + reboots, 115200}, {QString("--boot-now --app-baud 57600").split(' ') + reboots, 57600}};
        for (const auto &c : cases) {
            QTemporaryDir dir;
            const QString image = write_image(dir, 2000), port = dir.filePath("tty"), db = port + ".db";
            QProcess tool;
            tool.setProcessEnvironment(tool_environment());
            tool.start(TESSIK_TOOL_PATH,
                       watch_args(image, port, {"--count", "3", "--gone-after", "1", "--history-db", db}));
            SimModule left_in(c.module + QStringList{"--after-update-seconds", "300"});
            left_in.setLink(port);
            QVERIFY(left_in.start() && left_in.waitForEvent("app_started", 120000));
            const int asked = countOccurrences(left_in.received(c.baud), "+++");
            QTRY_VERIFY_WITH_TIMEOUT(countOccurrences(left_in.received(c.baud), "+++") >= asked + 6, 60000);
            QCOMPARE(countOccurrences(tool.peek(tool.bytesAvailable()), "\"unit_start\""), 1);
            QCOMPARE(left_in.events("xmodem").size(), 1);
            QVERIFY(left_in.stop());
            for (int i = 0; i < 2; ++i) {
                SimModule next(quick);
                next.setLink(port);
                QVERIFY(next.start() && next.waitForEvent("done", 90000) && next.waitForFinished(10000));
                QCOMPARE(next.events("xmodem").size(), 1);
            }
            const Run run = finish(tool, 60000);
            QCOMPARE(run.exit_code, 0);
            QCOMPARE(number(run.events.last(), "units_ok"), 3);
            QCOMPARE(history_rows(db), 3);
        }
    }

    // After a silence the module is asked who it is, however short the
    // silence: its own identity stays, another one is a new unit.
    void an_identity_tells_a_swap_faster_than_the_silence()
    {
        ScriptedModule module;
        int silent = 0; // questions to leave unanswered
        module.answer = [&silent](int baud) {
            const bool quiet = baud != 115200 || silent > 0;
            silent = qMax(0, silent - 1);
            return quiet ? QByteArray() : QByteArray("\r\nOK\r\n");
        };
        FixtureOptions options;
        options.probe = quick_probe(module);
        options.update.checks.id_command = "AT+ID?\r";
        options.gone_after_ms = 600000;
        options.reboot_ms = 0;
        options.retries = 2;
        PortLoop loop("ttyTEST", "/nonexistent/image.bin", options);
        QSignalSpy ready(&loop, &PortLoop::module_ready), gone(&loop, &PortLoop::module_gone);
        QSignalSpy attempts(&loop, &PortLoop::update_created), ended(&loop, &PortLoop::unit_ended);
        loop.start();
        QVERIFY(ready.wait(5000));
        loop.begin_unit();
        QVERIFY(ended.wait(5000));
        QCOMPARE(attempts.size(), 1); // an image that cannot be read is not tried again
        for (const QByteArray id : {"A", "A", "B"}) {
            const int asked = module.identity_asked;
            module.identity = id;
            silent = 1;
            QTRY_COMPARE_WITH_TIMEOUT(module.identity_asked, asked + 1, 5000);
            const int questions = module.asked.size(); // two more: what it said has been weighed
            QTRY_VERIFY_WITH_TIMEOUT(module.asked.size() >= questions + 2, 5000);
            QCOMPARE(gone.size(), id == "B" ? 1 : 0);
            QCOMPARE(ready.size() > 1, id == "B");
        }
    }

    // The guards of a run: a log file that cannot be written ends the watch
    // before any port is touched; a reader gone mid-transfer ends no update.
    void the_watch_keeps_the_guards_of_a_run()
    {
        // 50 ms a block: the reader, gone at the first progress, leaves
        // some ten seconds of the transfer to go.
        SimModule sim(quick + QStringList{"--pace", "--block-write", "50"});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString image = write_image(dir, 30000), db = dir.filePath("h.sqlite");
        const Run refused = run_tool(watch_args(image, sim.link(), {"--log", "/nonexistent/dir/x.log"}));
        QCOMPARE(refused.exit_code, 2);
        QVERIFY(refused.err.contains("cannot write the log file /nonexistent/dir/x.log"));
        QFile line(sim.link()); // what the tool wrote before it ended is read before this mark
        QVERIFY(line.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && line.write("mark") == 4);
        QTRY_VERIFY_WITH_TIMEOUT(sim.received().contains("mark"), 10000);
        QCOMPARE(sim.received(), QByteArray("mark"));

        QProcess tool, reader;
        tool.setProcessEnvironment(tool_environment());
        tool.setStandardOutputProcess(&reader);
        reader.start("grep", {"-m", "1", "\"progress\""});
        tool.start(TESSIK_TOOL_PATH, watch_args(image, sim.link(), {"--count", "1", "--history-db", db}));
        QVERIFY(reader.waitForFinished(60000) && !sim.hasEvent("done"));
        QVERIFY(tool.waitForFinished(120000));
        QVERIFY(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0);
        QCOMPARE(sim.outData(), file_bytes(image));
        QCOMPARE(history_rows(db), 1);
    }
};

QTEST_GUILESS_MAIN(TestWatch)
#include "test_watch.moc"
