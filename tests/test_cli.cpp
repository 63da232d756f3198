// The command line a production line scripts: JSON events, keep-going,
// retries, the log file, port names (links with ':', two names of one
// device), waiting for a port, a clean abort, Qt's own options.

#include "sim_harness.h"
#include "tool_run.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

QStringList strings(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list << item.toString();
    return list;
}

const QStringList quick = {QStringLiteral("--app-baud"), QStringLiteral("115200")};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void json_events_of_a_run()
    {
        SimModule first(quick);
        SimModule second(quick);
        QVERIFY(first.start() && second.start());
        QTemporaryDir dir;
        const QString image = write_image(dir, 3000);
        const Run run = run_tool({QStringLiteral("--json"), QStringLiteral("--file"), image, QStringLiteral("--port"),
                                  first.link(), QStringLiteral("--port"), second.link()});
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        QVERIFY2(run.all_json, qPrintable(run.out));
        QCOMPARE(run.events.first().value(QStringLiteral("event")).toString(), QStringLiteral("run_start"));
        QCOMPARE(run.events.last().value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        const QJsonObject start = run.events.first();
        QCOMPARE(start.value(QStringLiteral("bytes")).toInt(), 3000);
        QCOMPARE(start.value(QStringLiteral("sha256")).toString().size(), 64);
        QCOMPARE(strings(start.value(QStringLiteral("ports"))), QStringList({first.link(), second.link()}));
        QCOMPARE(run.of(QStringLiteral("rate")).size(), 2);
        QCOMPARE(run.of(QStringLiteral("port_end")).size(), 2);
        for (const QJsonObject &end : run.of(QStringLiteral("port_end"))) {
            QCOMPARE(end.value(QStringLiteral("sha256")), start.value(QStringLiteral("sha256")));
            QCOMPARE(end.value(QStringLiteral("result")).toString(), QStringLiteral("ok"));
            QCOMPARE(end.value(QStringLiteral("reason")).toString(), QStringLiteral("ok"));
        }
        // Progress at most once per percent per port, ending at 100.
        QMap<QString, QList<int>> percents;
        for (const QJsonObject &progress : run.of(QStringLiteral("progress")))
            percents[progress.value(QStringLiteral("port")).toString()] << progress.value(QStringLiteral("percent")).toInt();
        for (const QList<int> &list : percents) {
            QCOMPARE(list.last(), 100);
            for (int i = 1; i < list.size(); ++i)
                QVERIFY(list[i] > list[i - 1]);
        }
        QCOMPARE(run.of(QStringLiteral("log")).last().value(QStringLiteral("text")).toString(),
                 second.link() + QStringLiteral("对应设备升级成功"));
        const QJsonObject summary = run.events.last();
        QCOMPARE(strings(summary.value(QStringLiteral("ok"))), QStringList({first.link(), second.link()}));
        QVERIFY(strings(summary.value(QStringLiteral("failed"))).isEmpty());
        // Human text went to standard error; the modules hold the image.
        QVERIFY(run.err.contains(QStringLiteral("对应设备升级成功")));
        QVERIFY(first.waitForFinished(5000) && second.waitForFinished(5000));
        QCOMPARE(first.outData(), file_bytes(image));
        QCOMPARE(second.outData(), file_bytes(image));
    }

    // Healthy modules at their own pace: a first block slow enough to be
    // written twice and its duplicate answered late (CRC), start characters
    // crossing block 1 (checksum), slow writes, the last block damaged once.
    void slow_modules_are_updated_and_reported_truly()
    {
        const QStringList pace = quick + QStringList({QStringLiteral("--block-write"), QStringLiteral("30"),
                                                      QStringLiteral("--duplicate-answer"), QStringLiteral("95"),
                                                      QStringLiteral("--nak-block"), QStringLiteral("20")});
        SimModule slow_erase(pace + QStringList({QStringLiteral("--first-block-write"), QStringLiteral("10500")}));
        SimModule crossing(pace + QStringList({QStringLiteral("--checksum"), QStringLiteral("--start-repeat"),
                                               QStringLiteral("5"), QStringLiteral("--pace")}));
        QVERIFY(slow_erase.start() && crossing.start());
        QTemporaryDir dir;
        const QString image = write_image(dir, 20 * 128 - 50);
        const Run run = run_tool({QStringLiteral("--json"), QStringLiteral("--parallel"), QStringLiteral("--file"), image,
                                  QStringLiteral("--port"), slow_erase.link(), QStringLiteral("--port"), crossing.link()});
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        const QString sha = run.events.first().value(QStringLiteral("sha256")).toString();
        QCOMPARE(run.of(QStringLiteral("port_end")).size(), 2);
        for (const QJsonObject &end : run.of(QStringLiteral("port_end")))
            QCOMPARE(end.value(QStringLiteral("sha256")).toString(), sha);
        for (SimModule *sim : {&slow_erase, &crossing}) {
            QVERIFY(sim->waitForFinished(5000));
            QCOMPARE(sim->outData(), file_bytes(image));
            QCOMPARE(sim->result().value(QStringLiteral("blocks")).toInt(), 20);
        }
    }

    void a_failure_ends_the_run_unless_keep_going()
    {
        for (const bool keep_going : {false, true}) {
            SimModule a(quick);
            SimModule b(quick + QStringList({QStringLiteral("--can-block"), QStringLiteral("2")}));
            SimModule c(quick);
            QVERIFY(a.start() && b.start() && c.start());
            QTemporaryDir dir;
            QStringList args = {QStringLiteral("--json"), QStringLiteral("--file"), write_image(dir, 1000)};
            for (const SimModule *sim : {&a, &b, &c})
                args << QStringLiteral("--port") << sim->link();
            if (keep_going)
                args << QStringLiteral("--keep-going");
            const Run run = run_tool(args);
            QCOMPARE(run.exit_code, 1);
            const QJsonObject summary = run.events.last();
            QCOMPARE(strings(summary.value(QStringLiteral("failed"))), QStringList({b.link()}));
            QCOMPARE(strings(summary.value(QStringLiteral("ok"))),
                     keep_going ? QStringList({a.link(), c.link()}) : QStringList({a.link()}));
            QCOMPARE(strings(summary.value(QStringLiteral("skipped"))),
                     keep_going ? QStringList() : QStringList({c.link()}));
            const QList<QJsonObject> ends = run.of(QStringLiteral("port_end"));
            QCOMPARE(ends.size(), 3);
            QCOMPARE(ends[1].value(QStringLiteral("reason")).toString(), QStringLiteral("cancelled_by_module"));
            QCOMPARE(c.received().isEmpty(), !keep_going);
        }
    }

    void a_port_failing_once_is_tried_again()
    {
        // The first transfer is cancelled by the tool (a lone 'C' after
        // block 2); the boot loader then waits for a new request.
        SimModule sim(quick + QStringList({QStringLiteral("--reply-after-block"), QStringLiteral("2:43"),
                                           QStringLiteral("--faulty-transfers"), QStringLiteral("1")}));
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString image = write_image(dir, 1000);
        const Run run = run_tool({QStringLiteral("--json"), QStringLiteral("--retries"), QStringLiteral("1"),
                                  QStringLiteral("--file"), image, QStringLiteral("--port"), sim.link()});
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        const QList<QJsonObject> starts = run.of(QStringLiteral("port_start"));
        QCOMPARE(starts.size(), 2);
        QCOMPARE(starts[1].value(QStringLiteral("attempt")).toInt(), 2);
        QCOMPARE(run.of(QStringLiteral("port_end")).size(), 1);
        QVERIFY(run.err.contains(QStringLiteral("attempt 2 of 2")));
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.outData(), file_bytes(image));
    }

    void log_file_holds_header_lines_and_summary()
    {
        SimModule sim(quick);
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("runs.log"));
        const QString image = write_image(dir, 500);
        for (int i = 0; i < 2; ++i) {
            const Run run = run_tool({QStringLiteral("--log"), log, QStringLiteral("--file"), image,
                                      QStringLiteral("--port"), sim.link()});
            QCOMPARE(run.exit_code, i == 0 ? 0 : 1); // the second finds the module gone
        }
        const QString text = QString::fromUtf8(file_bytes(log));
        QCOMPARE(text.count(QStringLiteral("# tessik-update-tool 1.0")), 2);
        QVERIFY(text.contains(QStringLiteral("sha256 ")));
        QCOMPARE(text.count(QStringLiteral("# summary: ok [") + sim.link() + QLatin1Char(']')), 1);
        QCOMPARE(text.count(QStringLiteral(" :") + sim.link() + QStringLiteral("对应设备升级成功\n")), 1);
    }

    void stable_names_and_one_device_named_twice()
    {
        SimModule sim(quick);
        QVERIFY(sim.start());
        QTemporaryDir dir;
        // udev's by-path names carry ':'
        const QString by_path = dir.filePath(QStringLiteral("pci-0000:00:14.0-usb-0:2:1.0-port0"));
        QVERIFY(QFile::link(sim.link(), by_path));
        const QString image = write_image(dir, 700);
        const Run run = run_tool({QStringLiteral("--json"), QStringLiteral("--file"), image, QStringLiteral("--port"),
                                  by_path, QStringLiteral("--port"), sim.link()});
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        QCOMPARE(strings(run.events.first().value(QStringLiteral("ports"))), QStringList({by_path}));
        QCOMPARE(run.of(QStringLiteral("port_end")).size(), 1);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.outData(), file_bytes(image));

        const Run unknown = run_tool({QStringLiteral("--file"), image, QStringLiteral("--port"),
                                      QStringLiteral("serial:NO-SUCH-ADAPTER")}, 10000);
        QCOMPARE(unknown.exit_code, 2);
    }

    void a_port_plugged_in_later_is_waited_for()
    {
        QTemporaryDir dir;
        const QString image = write_image(dir, 600);
        const QString late = dir.filePath(QStringLiteral("ttyLATE"));
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.start(QStringLiteral(TESSIK_TOOL_PATH), {QStringLiteral("--json"), QStringLiteral("--wait-port"),
                                                        QStringLiteral("30"), QStringLiteral("--file"), image,
                                                        QStringLiteral("--port"), late});
        QVERIFY(tool.waitForStarted());
        // run_start comes once the port was found missing, right before the wait for it.
        QTRY_VERIFY_WITH_TIMEOUT(tool.peek(4096).contains("\"run_start\""), 30000);
        SimModule sim(quick);
        sim.setLink(late);
        QVERIFY(sim.start());
        const Run run = finish(tool, 60000);
        QVERIFY2(run.exit_code == 0, qPrintable(run.err.right(3000)));
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.outData(), file_bytes(image));

        const Run never = run_tool({QStringLiteral("--json"), QStringLiteral("--wait-port"), QStringLiteral("1"),
                                    QStringLiteral("--file"), image, QStringLiteral("--port"),
                                    dir.filePath(QStringLiteral("ttyNEVER"))}, 20000);
        QCOMPARE(never.exit_code, 1);
        QCOMPARE(never.of(QStringLiteral("port_end")).first().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("no_such_port"));
    }

    void a_signal_aborts_cleanly()
    {
        SimModule sim(quick + QStringList({QStringLiteral("--pace")}));
        QVERIFY(sim.start());
        QTemporaryDir dir;
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.start(QStringLiteral(TESSIK_TOOL_PATH), {QStringLiteral("--json"), QStringLiteral("--file"),
                                                        write_image(dir, 200000), QStringLiteral("--port"), sim.link()});
        QVERIFY(tool.waitForStarted());
        QVERIFY(sim.waitForEvent(QStringLiteral("first_block"), 30000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.sent().count('\x06') >= 2, 30000); // block 2 answered: mid-transfer
        ::kill(static_cast<pid_t>(tool.processId()), SIGTERM);
        const Run run = finish(tool, 20000);
        QCOMPARE(run.exit_code, 130);
        QCOMPARE(run.of(QStringLiteral("port_end")).first().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("aborted"));
        QCOMPARE(run.events.last().value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        // The boot loader was told to stop waiting.
        QVERIFY(sim.waitForEvent(QStringLiteral("tool_can"), 5000));

        // A signal that comes while the tool starts up ends it as cleanly:
        // the run, with its port summed up, and the window.
        SimModule idle(quick);
        QVERIFY(idle.start());
        const Run early = run_tool_signalled_at_start(QStringLiteral("TERM"), {QStringLiteral("--json"),
                                                      QStringLiteral("--file"), write_image(dir, 600),
                                                      QStringLiteral("--port"), idle.link()});
        QCOMPARE(early.exit_code, 130);
        QCOMPARE(early.of(QStringLiteral("port_end")).size(), 1);
        QCOMPARE(early.of(QStringLiteral("port_end")).first().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("aborted"));
        QCOMPARE(early.events.last().value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        QCOMPARE(run_tool_signalled_at_start(QStringLiteral("INT"), {}).exit_code, 130);
    }

    void usage_version_and_qt_options()
    {
        QTemporaryDir dir;
        const Run version = run_tool({QStringLiteral("--version"), QStringLiteral("-style"), QStringLiteral("fusion")}, 10000);
        QCOMPARE(version.exit_code, 0);
        QCOMPARE(version.out, QStringLiteral("tessik-update-tool 1.0\n"));

        const Run not_regular = run_tool({QStringLiteral("--file"), dir.path(), QStringLiteral("--port"),
                                          QStringLiteral("/tmp/x")}, 10000);
        QCOMPARE(not_regular.exit_code, 2);

        const Run listed = run_tool({QStringLiteral("--list-ports"), QStringLiteral("--json")}, 10000);
        QCOMPARE(listed.exit_code, 0);
        QVERIFY(listed.all_json);
        for (const QJsonObject &port : listed.events)
            QVERIFY(port.contains(QStringLiteral("device")) && port.contains(QStringLiteral("by_id")));

        // Qt's own options open the window instead of being refused: only
        // the window ends on a signal with 130 (a refusal is 2).
        QCOMPARE(run_tool_signalled_at_start(QStringLiteral("TERM"), {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                                                      QStringLiteral("-style"), QStringLiteral("fusion")})
                     .exit_code,
                 130);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
