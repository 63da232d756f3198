// A dead application reset by the fixture before the operator is asked:
// the sequence and the command's words as tables, the ladder on a clock the
// test moves, and whole runs whose lines the shim shows the simulator.

#include "engine/port_update.h"
#include "platform/ports.h"
#include "sim_harness.h"
#include "tool_run.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray update_request("AT#UpdateFW\r\0\0", 14);

// The module on the line: every line change and update request the update
// makes, at the test's time; its boot loader answers once RTS went up and down.
struct LadderModule
{
    ManualClock clock;
    QStringList heard; // "t=100 RTS=1", "t=200 request", ...
    bool rts_was_up = false;
    bool wired = true; // the reset is on RTS
    int requests = 0;
};

class LadderLine : public Transport
{
public:
    explicit LadderLine(LadderModule &module) : m(module) {}
    bool open() override { return opened = true; }
    bool isOpen() const override { return opened; }
    void close() override { opened = false; }
    OpenFailure openFailure() const override { return OpenFailure::none; }
    void flush() override {}
    qint64 write(const char *data, qint64 len) override
    {
        const QByteArray bytes(data, int(len));
        if (bytes == update_request) {
            ++m.requests;
            if (m.requests <= 2 || booted)
                hear(QStringLiteral("request"));
            if (booted)
                pending += 'C';
        } else if (bytes == "+++") {
            hear(QStringLiteral("+++"));
        }
        return len;
    }
    int read(char *) override { return 0; }
    QByteArray readAll() override { return std::exchange(pending, QByteArray()); }
    bool setBaudRate(qint32) override { return true; }
    qint32 baudRate() const override { return 115200; }
    void applyLineSettings() override {}
    bool failed() const override { return false; }
    bool setDataTerminalReady(bool set) override { return hear(QStringLiteral("DTR=%1").arg(set)), true; }
    bool setRequestToSend(bool set) override
    {
        hear(QStringLiteral("RTS=%1").arg(set));
        booted = booted || (m.wired && m.rts_was_up && !set);
        m.rts_was_up = set;
        return true;
    }

private:
    void hear(const QString &what) { m.heard << QStringLiteral("t=%1 %2").arg(m.clock.now_ms()).arg(what); }

    LadderModule &m;
    bool opened = false;
    bool booted = false;
    QByteArray pending;
};

struct LadderRun
{
    QStringList logs;
    int resets_asked = 0;
    QString reset_by;
    FailReason reason = FailReason::not_started;
};

// A dead module's update, the clock moved 10 ms at a time until it is handed
// over or fails (the operator never presses).
LadderRun climb(LadderModule &module, const ResetOptions &reset)
{
    QTemporaryDir dir;
    UpdateOptions options;
    options.clock = &module.clock;
    options.reset = reset;
    options.image = std::make_shared<Image>(Image{QStringLiteral("a.bin"), QByteArray(128, 'x'), QByteArray()});
    options.open_transport = [&module](const QString &) { return std::make_unique<LadderLine>(module); };
    PortUpdate update(QStringLiteral("ttyLADDER"), QString(), options);
    LadderRun run;
    QObject::connect(&update, &PortUpdate::log_line, [&run](const QString &line) { run.logs << line; });
    QObject::connect(&update, &PortUpdate::reset_needed, [&run] { ++run.resets_asked; });
    QObject::connect(&update, &PortUpdate::facts_known, [&run](const PortFacts &facts) { run.reset_by = facts.reset_by; });
    QObject::connect(&update, &PortUpdate::finished, [&run](PortResult, FailReason reason) { run.reason = reason; });
    update.prepare_update();
    update.get_scan_result(false, QStringLiteral("115200"), 0, 0);
    for (int step = 0; step < 6000 && update.running() && !update.transferring(); ++step) {
        module.clock.advance(10);
        update.check_reset();
    }
    const bool handed_over = update.transferring();
    update.abort(); // the facts come with the end
    if (handed_over)
        run.reason = FailReason::ok;
    return run;
}

QString shim_path()
{
    return QStringLiteral(TESSIK_LINE_SHIM_PATH);
}

QProcessEnvironment shim_environment(const QString &line_dir)
{
    QProcessEnvironment env = tool_environment();
    env.insert(QStringLiteral("LD_PRELOAD"), shim_path());
    env.insert(QStringLiteral("TESSIK_LINE_STATE_DIR"), line_dir);
    // An ASan build wants its runtime first; the shim is loaded before it.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("verify_asan_link_order=0"));
    return env;
}

QJsonObject port_end(const Run &run)
{
    return run.of(QStringLiteral("port_end")).value(0);
}

QStringList log_texts(const Run &run)
{
    QStringList texts;
    for (const QJsonObject &log : run.of(QStringLiteral("log")))
        texts << log.value(QStringLiteral("text")).toString();
    return texts;
}

} // namespace

class TestResetLadder : public QObject
{
    Q_OBJECT

private slots:
    void sequences_and_command_words()
    {
        using K = LineStep::Kind;
        const struct
        {
            const char *text;
            QList<std::tuple<K, bool, int>> steps; // empty: refused
        } sequences[] = {
            {"D0|R1|W0.1|D1|R0",
             {{K::dtr, false, 0}, {K::rts, true, 0}, {K::wait, false, 100}, {K::dtr, true, 0}, {K::rts, false, 0}}},
            {" r1 | w0.05 | R0 ", {{K::rts, true, 0}, {K::wait, false, 50}, {K::rts, false, 0}}},
            {"W2", {{K::wait, false, 2000}}},
            {"D2", {}}, {"R", {}}, {"D0||R1", {}}, {"W-1", {}}, {"W61", {}}, {"Wnan", {}}, {"X1", {}}, {"D01", {}},
        };
        for (const auto &sequence : sequences) {
            QString error;
            QList<std::tuple<K, bool, int>> parsed;
            for (const LineStep &step : parse_reset_sequence(QLatin1String(sequence.text), &error))
                parsed << std::make_tuple(step.kind, step.level, step.wait_ms);
            QVERIFY2(parsed == sequence.steps, sequence.text);
            QCOMPARE(error.isEmpty(), !sequence.steps.isEmpty());
        }

        ResetFields fields{QStringLiteral("ttyUSB0"), QStringLiteral("/dev/ttyUSB0"), QStringLiteral("A5 0;rm -rf"),
                           QStringLiteral("1-1"), QStringLiteral("$(reboot)")};
        QCOMPARE(reset_command_words(QStringLiteral("uhubctl -a cycle -l {hub_location} -p {hub_port}"), fields),
                 QStringList({"uhubctl", "-a", "cycle", "-l", "1-1", "-p", "$(reboot)"}));
        QCOMPARE(reset_command_words(QStringLiteral("relay \"serial={adapter_serial}\" {port}{device} {x}"), fields),
                 QStringList({"relay", "serial=A5 0;rm -rf", "ttyUSB0/dev/ttyUSB0", "{x}"}));
        QCOMPARE(reset_command_words(QStringLiteral("sh -c 'a \"b\" $1' x\\ y \"q\\\"\" ''"), fields),
                 QStringList({"sh", "-c", "a \"b\" $1", "x y", "q\"", ""}));

        const struct
        {
            const char *path, *location, *port;
        } places[] = {{"1-1.4", "1-1", "4"}, {"2-3", "2", "3"}, {"3-1.2.7", "3-1.2", "7"},
                      {"1-1.4:1.0", "", ""}, {"usb1", "", ""}};
        for (const auto &place : places) {
            UsbPlace found;
            hub_place_of_usb_path(QLatin1String(place.path), found);
            QCOMPARE(QStringList({found.hub_location, found.hub_port}),
                     QStringList({QLatin1String(place.location), QLatin1String(place.port)}));
        }
    }

    // The lines change at the sequence's times, the boot loader is asked on
    // the update's 100 ms tick, and a rung that brings nothing gives way to
    // the next, the operator last, with today's prompt.
    void the_ladder_on_the_test_clock()
    {
        {
            LadderModule module;
            const LadderRun run = climb(module, {QStringLiteral("D0|R1|W0.25|D1|R0"), QString()});
            QCOMPARE(module.heard, QStringList({"t=0 DTR=0", "t=0 RTS=1", "t=250 DTR=1", "t=250 RTS=0",
                                                "t=250 request"}));
            QCOMPARE(run.reason, FailReason::ok);
            QCOMPARE(run.reset_by, QStringLiteral("line"));
            QCOMPARE(run.resets_asked, 0);
        }
        {
            LadderModule module;
            module.wired = false;
            const LadderRun run = climb(module, {QStringLiteral("R1|W0.1|R0"), QString()});
            QCOMPARE(module.requests, 2 * 101);
            QCOMPARE(run.resets_asked, 1);
            QCOMPARE(run.reason, FailReason::reset_timeout);
            QCOMPARE(run.reset_by, QString());
            QCOMPARE(run.logs.value(0), QStringLiteral("ttyLADDER: reset by the line sequence R1|W0.1|R0"));
            QCOMPARE(run.logs.value(1), QStringLiteral("ttyLADDER: no boot loader after the reset by line"));
            QCOMPARE(run.logs.value(2), QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"));
            // The line rung's 101 requests on the 100 ms tick, then the operator's
            // road as without a fixture: the opening pause and the first "+++".
            const int prompt = module.heard.indexOf(QStringLiteral("t=11700 +++"));
            QVERIFY2(prompt > 0, qPrintable(module.heard.join(QLatin1Char(','))));
        }
        {
            LadderModule module;
            const LadderRun run = climb(module, {});
            QCOMPARE(module.heard.filter(QStringLiteral("RTS")).size() + module.heard.filter(QStringLiteral("DTR")).size(), 0);
            QCOMPARE(module.heard.value(0), QStringLiteral("t=1500 +++")); // no rung: the prompt at once
            QCOMPARE(run.logs.value(0), QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"));
            QCOMPARE(run.reason, FailReason::reset_timeout);
        }
    }

    // RTS pulled by the sequence resets the module: no prompt, and the
    // history says how. Without the option the tool left the lines alone.
    void a_dead_module_reset_by_its_rts_line()
    {
        QTemporaryDir dir;
        SimModule sim({"--app-baud", "none", "--reset-line", "rts", "--line-state", dir.filePath("lines")});
        QVERIFY(QDir().mkpath(dir.filePath("lines")));
        QVERIFY(sim.start());
        const QString image = write_image(dir, 700);
        const QString db = dir.filePath("history.db");
        const Run run = run_tool({"--json", "--history-db", db, "--file", image, "--port", sim.link(),
                                  "--reset-sequence", "D0|R1|W0.1|R0"},
                                 90000, shim_environment(dir.filePath("lines")));
        QCOMPARE(run.exit_code, 0);
        QCOMPARE(port_end(run).value("reset_by").toString(), QStringLiteral("line"));
        QVERIFY(!log_texts(run).contains(QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮")));
        QCOMPARE(run.of("reset_needed").size(), 0);
        QCOMPARE(sim.events("reset").size(), 1);
        QCOMPARE(sim.events("reset").value(0).value("by").toString(), QStringLiteral("line"));
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 0);

        const Run rows = run_tool({"--history", "--json", "--history-db", db});
        QVERIFY2(rows.out.contains("\"reset_by\":\"line\""), qPrintable(rows.out));
    }

    // The command is run with the port's words filled in; its exit status is logged.
    void a_dead_module_reset_by_a_command()
    {
        QTemporaryDir dir;
        SimModule sim({"--app-baud", "none"});
        QVERIFY(sim.start());
        const QString image = write_image(dir, 300);
        const QString words = dir.filePath("words");
        const QString command =
            QStringLiteral("sh -c 'printf \"%s\\n\" \"$@\" > %1; kill -USR1 %2; exit 3' reset {port} {device} "
                           "{hub_location}:{hub_port}")
                .arg(words)
                .arg(sim.processId());
        const Run run = run_tool({"--json", "--no-history", "--file", image, "--port", sim.link(), "--reset-command",
                                  command});
        QCOMPARE(run.exit_code, 0);
        QCOMPARE(QString::fromUtf8(file_bytes(words)), sim.link() + "\n" + sim.link() + "\n:\n");
        QCOMPARE(port_end(run).value("reset_by").toString(), QStringLiteral("command"));
        QVERIFY(log_texts(run).contains(sim.link() + QStringLiteral(": the reset command ended: exit status 3")));
        QCOMPARE(sim.events("reset").size(), 1);
    }

    // A line that resets nothing: the operator's prompt follows, once, and
    // the operator's road is as long as without a fixture.
    void the_ladder_falls_through_to_the_operator()
    {
        QTemporaryDir dir;
        SimModule sim({"--app-baud", "none", "--reset-line", "dtr", "--line-state", dir.filePath("lines")});
        QVERIFY(QDir().mkpath(dir.filePath("lines")));
        QVERIFY(sim.start());
        const Run run = run_tool({"--json", "--no-history", "--file", write_image(dir, 300), "--port", sim.link(),
                                  "--reset-sequence", "R1|W0.1|R0"},
                                 120000, shim_environment(dir.filePath("lines")));
        QCOMPARE(run.exit_code, 1);
        QCOMPARE(port_end(run).value("reason").toString(), QStringLiteral("reset_timeout"));
        QCOMPARE(port_end(run).value("reset_by").toString(), QString());
        const QStringList texts = log_texts(run);
        const int gave_up = texts.indexOf(sim.link() + QStringLiteral(": no boot loader after the reset by line"));
        QVERIFY(gave_up > 0);
        QCOMPARE(texts.count(QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮")), 1);
        QCOMPARE(texts.indexOf(QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮")), gave_up + 1);
        QCOMPARE(run.of("reset_needed").size(), 1);
        QCOMPARE(sim.events("reset").size(), 0);
        // Each rung asks 101 times; between them the operator's "+++" as today.
        QCOMPARE(countOccurrences(sim.received(115200), update_request), 2 * 101);
        const QByteArray after_line = sim.received(115200).mid(sim.received(115200).indexOf(update_request) + 101 * 14);
        QCOMPARE(countOccurrences(after_line.left(after_line.indexOf(update_request)), "+++"), 20);
    }

    // Without the options, opening and using the port leaves DTR and RTS as they were.
    void no_options_no_line_changes()
    {
        QTemporaryDir dir;
        SimModule sim({"--app-baud", "115200"});
        QVERIFY(sim.start());
        const Run run = run_tool({"--json", "--no-history", "--file", write_image(dir, 300), "--port", sim.link()},
                                 90000, shim_environment(dir.path()));
        QCOMPARE(run.exit_code, 0);
        QCOMPARE(port_end(run).value("reset_by").toString(), QString());
        QCOMPARE(QDir(dir.path()).entryList({"pts-*.lines"}).size(), 0);
    }
};

QTEST_MAIN(TestResetLadder)
#include "test_reset_ladder.moc"
