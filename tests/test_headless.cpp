// The program without a window: arguments, output and exit status.

#include "pty_pair.h"
#include "sim_harness.h"
#include "tool_run.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>


class TestHeadless : public QObject
{
    Q_OBJECT

private slots:
    void successful_run()
    {
        SimModule sim({});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const Run run = run_tool({QStringLiteral("--file"), write_image(dir, 1000), QStringLiteral("--port"), sim.link()});
        QCOMPARE(run.exit_code, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(lines.first().endsWith(QStringLiteral(" :开始升级") + sim.link() + QStringLiteral("对应的设备.......")));
        QVERIFY(lines.at(lines.size() - 2).endsWith(QStringLiteral(" :") + sim.link() + QStringLiteral("对应设备升级成功")));
        QCOMPARE(lines.last(), QStringLiteral("1 ok"));
        QStringList progress;
        for (const QString &line : lines) {
            if (line.startsWith(sim.link() + QStringLiteral(" 完成:")))
                progress << line.mid(sim.link().size() + 1);
        }
        QCOMPARE(progress, QStringList({QStringLiteral("完成:12%"), QStringLiteral("完成:25%"),
                                        QStringLiteral("完成:38%"), QStringLiteral("完成:51%"),
                                        QStringLiteral("完成:64%"), QStringLiteral("完成:76%"),
                                        QStringLiteral("完成:89%"), QStringLiteral("完成:100%")}));
        QVERIFY(!run.err.contains(QStringLiteral("警告")));
    }

    // Through the line shim, against an adapter that holds bytes 16 ms: by
    // default the driver is asked for low latency on every open and given its
    // flag back on close; kept as it is, the slow adapter is warned of once.
    void adapter_latency_is_asked_low_unless_kept()
    {
        QTemporaryDir dir;
        const QString image = write_image(dir, 2000);
        for (const bool keep : {false, true}) {
            QTemporaryDir lines;
            SimModule sim({QStringLiteral("--adapter-latency-ms"), QStringLiteral("16"),
                           QStringLiteral("--line-state"), lines.path()});
            QVERIFY(sim.start());
            QStringList args{QStringLiteral("--json"), QStringLiteral("--file"), image, QStringLiteral("--port"),
                             sim.link()};
            if (keep)
                args << QStringLiteral("--no-low-latency");
            const Run run = run_tool(args, 90000, shimmed_environment(lines.path()));
            QCOMPARE(run.exit_code, 0);
            const QList<QJsonObject> latency = run.of(QStringLiteral("latency"));
            QCOMPARE(latency.size(), 1);
            QCOMPARE(latency.first().value(QStringLiteral("latency_ms")).toInt(), keep ? 16 : 1);
            QCOMPARE(latency.first().value(QStringLiteral("low_latency")).toBool(), !keep);
            QCOMPARE(run.err.count(QStringLiteral("warning: the adapter holds")), keep ? 1 : 0);
            if (keep)
                QVERIFY(run.err.contains(sim.link() + QStringLiteral(": warning: the adapter holds the module's bytes 16 ms"))
                        && run.err.contains(QStringLiteral("DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"")));
            QStringList flags; // of every change the shim saw, in order
            for (const QString &name : QDir(lines.path()).entryList({QStringLiteral("pts-*.lines")})) {
                for (const QString &line : QString::fromLatin1(file_bytes(lines.filePath(name))).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                    flags << line.section(QLatin1Char(' '), -1);
            }
            // The scan's open and the update's: each sets the flag, each close clears it.
            const QStringList asked{QStringLiteral("low_latency=1"), QStringLiteral("low_latency=0"),
                                    QStringLiteral("low_latency=1"), QStringLiteral("low_latency=0")};
            QCOMPARE(flags, keep ? QStringList() : asked);
        }
    }

    void failed_run()
    {
        SimModule sim({QStringLiteral("--can-block"), QStringLiteral("2")});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const Run run = run_tool({QStringLiteral("--file"), write_image(dir, 1000), QStringLiteral("--port"), sim.link()});
        QCOMPARE(run.exit_code, 1);
        QVERIFY(run.out.contains(sim.link() + QStringLiteral("对应设备升级失败\n")));
    }

    // --lang en: no Chinese left in a failed run's text for people;
    // language=en in the settings file too, unless --lang zh says otherwise.
    void english_when_asked_for()
    {
        SimModule sim({QStringLiteral("--can-block"), QStringLiteral("2")});
        SimModule second({QStringLiteral("--can-block"), QStringLiteral("2")});
        QVERIFY(sim.start() && second.start());
        QTemporaryDir dir;
        const QString image = write_image(dir, 1000);
        const Run run = run_tool({QStringLiteral("--lang"), QStringLiteral("en"), QStringLiteral("--file"), image,
                                  QStringLiteral("--port"), sim.link()});
        QCOMPARE(run.exit_code, 1);
        QVERIFY2(run.out.contains(sim.link() + QStringLiteral(": the device update failed\n")), qPrintable(run.out));
        QVERIFY2(!run.out.contains(QRegularExpression(QStringLiteral("[\\x{3000}-\\x{9fff}]"))), qPrintable(run.out));

        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("config/tessik-update-tool"))));
        QVERIFY(!write_file(dir, QStringLiteral("config/tessik-update-tool/settings.ini"), "language=en\n").isEmpty());
        QProcessEnvironment env = tool_environment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        const Run chinese = run_tool({QStringLiteral("--lang"), QStringLiteral("zh"), QStringLiteral("--file"), image,
                                      QStringLiteral("--port"), second.link()}, 90000, env);
        QVERIFY2(chinese.out.contains(second.link() + QStringLiteral("对应设备升级失败\n")), qPrintable(chinese.out));
        const Run usage = run_tool({QStringLiteral("--lang"), QStringLiteral("fr")}, 90000, env);
        QCOMPARE(usage.exit_code, 2);
        QVERIFY(usage.err.contains(QStringLiteral("--lang needs zh or en")));
    }

    // For people: on a terminal each port's state changes in place; on a
    // pipe a line per tenth; either way a failure says why and what to look
    // at, and one line sums the run up. -q leaves only those two.
    void people_read_a_reason_and_a_summary()
    {
        SimModule piped_sim({}), quiet_sim({}), sim({}); // a module takes one update
        QVERIFY(piped_sim.start() && quiet_sim.start() && sim.start());
        QTemporaryDir dir;
        QFile not_a_port(dir.filePath(QStringLiteral("not-a-tty")));
        QVERIFY(not_a_port.open(QIODevice::WriteOnly));
        const QString image = write_image(dir, 3000);
        const auto args = [&](const SimModule &module) {
            return QStringList{"--parallel", "--keep-going", "-f",          image,
                               "-p",         module.link(),  "--port",      not_a_port.fileName(),
                               "--no-history"};
        };
        const QString failed_line = not_a_port.fileName() + " failed: ";
        const QString summary = "1 ok, 1 failed: " + not_a_port.fileName() + " (";

        const Run piped = run_tool(args(piped_sim));
        QCOMPARE(piped.exit_code, 1);
        QVERIFY2(piped.out.contains(failed_line) && piped.out.contains("; "), qPrintable(piped.out));
        QVERIFY(piped.out.split('\n', Qt::SkipEmptyParts).last().startsWith(summary));
        QVERIFY(!piped.out.contains("\x1b["));
        QVERIFY(piped.out.count(piped_sim.link() + " 完成:") <= 11);

        const Run quiet = run_tool(args(quiet_sim) + QStringList{"-q"});
        const QStringList said = quiet.out.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(said.size() == 2, qPrintable(quiet.out));
        QVERIFY(said[0].startsWith(failed_line) && said[1].startsWith(summary));

        PtyPair terminal;
        QVERIFY(terminal.ok());
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.setStandardOutputFile(terminal.slave());
        tool.start(QStringLiteral(TESSIK_TOOL_PATH), args(sim));
        QByteArray shown;
        while (!tool.waitForFinished(50))
            shown += terminal.receive(1 << 16, 50);
        shown += terminal.receive(1 << 16, 200);
        const QString screen = QString::fromUtf8(shown).remove('\r');
        QCOMPARE(tool.exitCode(), 1);
        QVERIFY2(screen.contains(sim.link() + " 115200 baud, sending 100%"), qPrintable(screen));
        QVERIFY(screen.contains("\x1b[2A\x1b[J")); // the two ports' lines drawn again in place
        QVERIFY(!screen.contains(" 完成:"));
        QVERIFY(screen.contains(failed_line) && screen.contains("\n" + summary));
    }

    // --baud: the update starts at the rate given; no rate is tried before it.
    void a_known_rate_needs_no_scan()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("57600")});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const Run run = run_tool({"--baud", "57600", "-f", write_image(dir, 1000), "-p", sim.link(), "--no-history"});
        QCOMPARE(run.exit_code, 0);
        const QList<int> rates = sim.escapeRates();
        QVERIFY(!rates.isEmpty());
        QCOMPARE(rates.count(57600), rates.size());
        QCOMPARE(run_tool({"--baud", "1200", "-f", "x", "-p", "y"}).exit_code, 2);
    }

    // A missing or empty image is a usage error: no module is touched.
    void image_that_cannot_be_sent_touches_no_port()
    {
        SimModule sim({});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        for (const QString &image : {QStringLiteral("/nonexistent/image.bin"), write_image(dir, 0)}) {
            const Run run = run_tool({QStringLiteral("--file"), image, QStringLiteral("--port"), sim.link()});
            QCOMPARE(run.exit_code, 2);
            QVERIFY2(run.err.startsWith(QStringLiteral("tessik-update-tool: ")) && run.err.contains(image),
                     qPrintable(run.err));
            QVERIFY(run.out.isEmpty());
        }
        QVERIFY(sim.received(0).isEmpty());
    }

    void bad_arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList({QStringLiteral("--fast")});
        QTest::newRow("file argument missing") << QStringList({QStringLiteral("--port"), QStringLiteral("/tmp/x"), QStringLiteral("--file")});
        QTest::newRow("no file") << QStringList({QStringLiteral("--port"), QStringLiteral("/tmp/x")});
        QTest::newRow("no port") << QStringList({QStringLiteral("--file"), QStringLiteral("/tmp/x.bin")});
        QTest::newRow("port not listed") << QStringList({QStringLiteral("--file"), QStringLiteral("/tmp/x.bin"), QStringLiteral("--port"), QStringLiteral("ttyNOPE9")});
    }

    void bad_arguments()
    {
        QFETCH(QStringList, args);
        const Run run = run_tool(args, 10000);
        QCOMPARE(run.exit_code, 2);
        // One line that says what is wrong, one that says where the usage is.
        QCOMPARE(run.err.count(QLatin1Char('\n')), 2);
        QVERIFY(run.err.startsWith(QStringLiteral("tessik-update-tool: ")));
        QVERIFY(run.err.endsWith(QStringLiteral("Try 'tessik-update-tool --help' for more.\n")));
    }

    void help()
    {
        const Run run = run_tool({QStringLiteral("--help")}, 10000);
        QCOMPARE(run.exit_code, 0);
        QVERIFY(run.out.contains(QStringLiteral("--file IMAGE")));
    }

    void demo_script_headless()
    {
        QTemporaryDir dir;
        QProcess demo;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("TESSIK_DEMO_NO_SETUP"), QStringLiteral("1"));
        env.insert(QStringLiteral("TESSIK_DEMO_SIZE"), QStringLiteral("3000"));
        env.insert(QStringLiteral("TESSIK_DEMO_DIR"), dir.path());
        env.insert(QStringLiteral("TESSIK_BUILD_DIR"), QStringLiteral(TESSIK_BUILD_DIR));
        demo.setProcessEnvironment(env);
        demo.start(QStringLiteral(TESSIK_DEMO_SCRIPT), QStringList());
        QVERIFY(demo.waitForFinished(90000));
        const QString out = QString::fromUtf8(demo.readAllStandardOutput());
        QVERIFY2(demo.exitCode() == 0, qPrintable(out + QString::fromUtf8(demo.readAllStandardError())));
        QVERIFY(out.contains(QStringLiteral("完成:100%")));
        QVERIFY(out.contains(QStringLiteral("VERDICT: the module received the image intact (3000 bytes).")));
    }
};

QTEST_MAIN(TestHeadless)
#include "test_headless.moc"
