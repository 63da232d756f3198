// A dead application reset by the fixture before the operator is asked:
// sequences and command words as tables, the ladder on a clock the test
// moves, and whole runs whose lines the shim shows the simulator.

#include "engine/port_update.h"
#include "platform/ports.h"
#include "sim_harness.h"
#include "tool_run.h"

#include <QtTest>

namespace {

const QByteArray update_request("AT#UpdateFW\r\0\0", 14);
const QString prompt = QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮");

// A dead module on the test's clock: it notes every line change, "+++" and
// update request; its boot loader answers once RTS went up and down.
struct LadderLine : Transport
{
    LadderLine(const ManualClock &clock, QStringList &heard, bool wired)
        : clock(clock), heard(heard), wired(wired)
    {}
    bool open() override { return opened = true; }
    bool isOpen() const override { return opened; }
    void close() override { opened = false; }
    OpenFailure openFailure() const override { return OpenFailure::none; }
    void flush() override {}
    qint64 write(const char *data, qint64 len) override
    {
        const QByteArray bytes(data, int(len));
        if (bytes == update_request || bytes == "+++")
            hear(bytes == "+++" ? "+++" : "request");
        pending += booted && bytes == update_request ? "C" : "";
        return len;
    }
    int read(char *) override { return 0; }
    QByteArray readAll() override { return std::exchange(pending, QByteArray()); }
    bool setBaudRate(qint32) override { return true; }
    qint32 baudRate() const override { return 115200; }
    void applyLineSettings() override {}
    bool failed() const override { return false; }
    bool setDataTerminalReady(bool set) override { return hear(set ? "DTR=1" : "DTR=0"), true; }
    bool setRequestToSend(bool set) override
    {
        booted = booted || (wired && std::exchange(rts, set) && !set);
        return hear(set ? "RTS=1" : "RTS=0"), true;
    }
    void hear(const char *what) { heard << QStringLiteral("t=%1 %2").arg(clock.now_ms()).arg(what); }

    const ManualClock &clock;
    QStringList &heard;
    const bool wired; // the reset is on RTS
    bool opened = false, booted = false, rts = false;
    QByteArray pending;
};

struct LadderRun
{
    QStringList heard;
    QString reset_by;
    FailReason reason = FailReason::not_started;
    int prompts = 0;
};

// A dead module's update, 10 ms a step until handed over or failed (no
// operator); with known_rate, as --baud gives it, no scan said it was dead.
LadderRun climb(const ResetOptions &reset, bool wired = true, int known_rate = 0)
{
    ManualClock clock;
    LadderRun run;
    UpdateOptions options;
    options.clock = &clock;
    options.reset = reset;
    options.known_rate = known_rate;
    options.image = std::make_shared<Image>(Image{"a.bin", QByteArray(128, 'x'), QByteArray()});
    options.open_transport = [&](const QString &) {
        return std::make_unique<LadderLine>(clock, run.heard, wired);
    };
    PortUpdate update(QStringLiteral("ttyLADDER"), QString(), options);
    QObject::connect(&update, &PortUpdate::facts_known,
                     [&run](const PortFacts &facts) { run.reset_by = facts.reset_by; });
    QObject::connect(&update, &PortUpdate::finished,
                     [&run](PortResult, FailReason why) { run.reason = why; });
    QObject::connect(&update, &PortUpdate::reset_needed, [&run] { ++run.prompts; });
    update.prepare_update();
    update.get_scan_result(known_rate > 0, QStringLiteral("115200"), 0, 0);
    for (int step = 0; step < 6000 && update.running() && !update.transferring(); ++step) {
        clock.advance(10);
        update.check_reset();
    }
    update.abort(); // the facts come with the end
    return run;
}

// The tool with the line shim; an ASan build would refuse a library loaded before its runtime.
QProcessEnvironment shim_environment(const QString &line_dir)
{
    QProcessEnvironment env = tool_environment();
    env.insert("LD_PRELOAD", TESSIK_LINE_SHIM_PATH);
    env.insert("TESSIK_LINE_STATE_DIR", line_dir);
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ':') + "verify_asan_link_order=0");
    return env;
}

QStringList log_texts(const Run &run)
{
    QStringList texts;
    for (const QJsonObject &log : run.of("log"))
        texts << log.value("text").toString();
    return texts;
}

} // namespace

class TestResetLadder : public QObject
{
    Q_OBJECT

private slots:
    void sequences_and_command_words()
    {
        const QString sequences =
            "D0|R1|W0.1|D1|R0>D0 R1 W100 D1 R0, r1 | w0.05 | R0 >R1 W50 R0,W2>W2000,D2>,R>,"
            "D0||R1>,W-1>,W61>,Wnan>,X1>,D01>";
        for (const QString &sequence : sequences.split(',')) {
            QString error;
            QStringList steps;
            for (const LineStep &step : parse_reset_sequence(sequence.section('>', 0, 0), &error))
                steps << (step.kind == LineStep::Kind::wait  ? QStringLiteral("W%1").arg(step.wait_ms)
                          : step.kind == LineStep::Kind::dtr ? QStringLiteral("D%1").arg(step.level)
                                                             : QStringLiteral("R%1").arg(step.level));
            QCOMPARE(steps.join(' '), sequence.section('>', 1));
            QCOMPARE(error.isEmpty(), !steps.isEmpty());
        }

        const ResetFields fields{"ttyUSB0", "/dev/ttyUSB0", "A5 0;rm -rf", "1-1", "$(reboot)"};
        QCOMPARE(reset_command_words("uhubctl -a cycle -l {hub_location} -p {hub_port}", fields),
                 QStringList({"uhubctl", "-a", "cycle", "-l", "1-1", "-p", "$(reboot)"}));
        QCOMPARE(reset_command_words("relay \"serial={adapter_serial}\" {port}{device} {x}", fields),
                 QStringList({"relay", "serial=A5 0;rm -rf", "ttyUSB0/dev/ttyUSB0", "{x}"}));

        for (const QString place : {"1-1.4>1-1 4", "2-3>2 3", "3-1.2.7>3-1.2 7", "1-1.4:1.0> ", "usb1> "}) {
            UsbPlace found;
            hub_place_of_usb_path(place.section('>', 0, 0), found);
            QCOMPARE(found.hub_location + ' ' + found.hub_port, place.section('>', 1));
        }
    }

    // The lines change at the sequence's times, the boot loader is asked on
    // the update's 100 ms tick, and a rung that brings nothing gives way to
    // the next, the operator last, as without a fixture.
    void the_ladder_on_the_test_clock()
    {
        LadderRun run = climb({"D0|R1|W0.25|D1|R0", QString()});
        QCOMPARE(run.heard,
                 QStringList({"t=0 DTR=0", "t=0 RTS=1", "t=250 DTR=1", "t=250 RTS=0", "t=250 request"}));
        QCOMPARE(run.reset_by, QStringLiteral("line"));

        run = climb({"R1|W0.1|R0", QString()}, false);
        QCOMPARE(run.heard.filter("request").size(), 2 * 101);
        QCOMPARE(run.reason, FailReason::reset_timeout);
        QCOMPARE(run.reset_by, QString());
        // 101 requests from 100 ms on; then the opening pause before the first "+++".
        QCOMPARE(run.heard.mid(0, 4),
                 QStringList({"t=0 RTS=1", "t=100 RTS=0", "t=100 request", "t=200 request"}));
        QCOMPARE(run.heard.value(run.heard.indexOf("t=10100 request") + 1), QStringLiteral("t=11700 +++"));
        QCOMPARE(run.prompts, 1);

        // A rate given without a scan: the "+++" left unanswered sends the
        // module up the same ladder, and without rungs the operator is asked.
        run = climb({"R1|W0.1|R0", QString()}, true, 115200);
        const int pulse = run.heard.indexOf(QRegularExpression("t=\\d+ RTS=1"));
        QVERIFY(pulse > 0);
        QCOMPARE(run.heard.mid(0, pulse).filter("+++").size(), pulse - 1);
        QVERIFY2(run.heard.at(pulse - 1).endsWith(" request"), qPrintable(run.heard.join(", ")));
        QCOMPARE(run.reset_by, QStringLiteral("line"));
        QCOMPARE(run.prompts, 0);
        run = climb({}, true, 115200);
        QCOMPARE(run.prompts, 1);
        QCOMPARE(run.reason, FailReason::reset_timeout);
    }

    // RTS pulled by the sequence resets the module, in a run and in a
    // fixture it arrives in dead: no prompt, and the history says how.
    void a_dead_module_reset_by_its_rts_line()
    {
        for (const bool watch : {false, true}) {
            QTemporaryDir dir;
            SimModule sim({"--app-baud", "none", "--reset-line", "rts", "--line-state", dir.path()});
            QVERIFY(sim.start());
            const QString db = dir.filePath("history.db");
            const QStringList loop = watch ? QStringList{"--watch", "--count", "1"} : QStringList();
            const Run run =
                run_tool(QStringList{"--json", "--history-db", db, "--file", write_image(dir, 700), "--port",
                                     sim.link(), "--reset-sequence", "D0|R1|W0.1|R0"}
                             + loop,
                         90000, shim_environment(dir.path()));
            QCOMPARE(run.exit_code, 0);
            QCOMPARE(run.of(watch ? "unit_end" : "port_end").value(0).value("reset_by").toString(),
                     QStringLiteral("line"));
            QVERIFY(!log_texts(run).contains(prompt));
            QCOMPARE(run.of("reset_needed").size(), 0);
            QCOMPARE(sim.events("reset").size(), watch ? 2 : 1); // the fixture's probe resets it too
            const Run rows = run_tool({"--history", "--json", "--history-db", db});
            QVERIFY2(rows.out.contains("\"reset_by\":\"line\""), qPrintable(rows.out));
        }
    }

    // The command is run with the port's words filled in, its exit status
    // logged; with no reset sequence DTR and RTS are never touched. The
    // pty is given a USB adapter on hub port 1-1.4 in a sysfs of the test's.
    void a_dead_module_reset_by_a_command()
    {
        QTemporaryDir dir;
        SimModule sim({"--app-baud", "none"});
        QVERIFY(sim.start());
        const QString tty = QFileInfo(QFileInfo(sim.link()).canonicalFilePath()).fileName();
        const QString adapter = dir.filePath("sys/devices/usb1/1-1/1-1.4");
        QVERIFY(QDir().mkpath(adapter + "/1-1.4:1.0/" + tty) && QDir().mkpath(dir.filePath("sys/class/tty/" + tty)));
        QVERIFY(QFile::link(adapter + "/1-1.4:1.0/" + tty, dir.filePath("sys/class/tty/" + tty + "/device")));
        QVERIFY(!write_file(dir, "sys/devices/usb1/1-1/1-1.4/serial", "A50285BI\n").isEmpty());
        const QString words = dir.filePath("words");
        const QString command =
            QStringLiteral("sh -c 'printf \"%s\\n\" \"$@\" > %1; kill -USR1 %2; exit 3' reset "
                           "{port} {device} {hub_location}:{hub_port} {adapter_serial}")
                .arg(words)
                .arg(sim.processId());
        QProcessEnvironment env = shim_environment(dir.path());
        env.insert("TESSIK_SYSFS_ROOT", dir.filePath("sys"));
        const QString db = dir.filePath("history.sqlite");
        const Run run = run_tool({"--json", "--history-db", db, "--file", write_image(dir, 300), "--port",
                                  sim.link(), "--reset-command", command},
                                 90000, env);
        QCOMPARE(run.exit_code, 0);
        QCOMPARE(QString::fromUtf8(file_bytes(words)), sim.link() + "\n" + sim.link() + "\n1-1:4\nA50285BI\n");
        QCOMPARE(run.of("port_end").value(0).value("reset_by").toString(), QStringLiteral("command"));
        QVERIFY(log_texts(run).contains(sim.link() + ": the reset command ended: exit status 3"));
        const Run rows = run_tool({"--history", "--json", "--history-db", db});
        QVERIFY2(rows.out.contains("\"adapter_serial\":\"A50285BI\""), qPrintable(rows.out));
        // Only the serial flags change (low latency on every open): DTR and RTS stay as opened.
        for (const QString &name : QDir(dir.path()).entryList({"pts-*.lines"})) {
            for (const QByteArray &line : file_bytes(dir.filePath(name)).split('\n'))
                QVERIFY2(line.isEmpty() || line.contains(" dtr=1 rts=1 "), line.constData());
        }
    }

    // A line that resets nothing: the operator's prompt follows, once, and
    // the operator's road is as without a fixture.
    void the_ladder_falls_through_to_the_operator()
    {
        QTemporaryDir dir;
        SimModule sim({"--app-baud", "none", "--reset-line", "dtr", "--line-state", dir.path()});
        QVERIFY(sim.start());
        const Run run = run_tool({"--json", "--no-history", "--file", write_image(dir, 300), "--port",
                                  sim.link(), "--reset-sequence", "R1|W0.1|R0"},
                                 120000, shim_environment(dir.path()));
        QCOMPARE(run.exit_code, 1);
        QCOMPARE(run.of("port_end").value(0).value("reason").toString(), QStringLiteral("reset_timeout"));
        const QStringList texts = log_texts(run);
        const int gave_up = texts.indexOf(sim.link() + ": no boot loader after the reset by line");
        QCOMPARE(texts.mid(gave_up, 2),
                 QStringList({sim.link() + ": no boot loader after the reset by line", prompt}));
        QCOMPARE(texts.count(prompt), 1);
        QCOMPARE(run.of("reset_needed").size(), 1);
        QCOMPARE(countOccurrences(sim.received(115200), update_request), 2 * 101); // 101 each
    }
};

QTEST_MAIN(TestResetLadder)
#include "test_reset_ladder.moc"
