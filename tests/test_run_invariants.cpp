// Every port of a run ends once and is summed up, whatever happens to the
// image, retries, signals, the log file and standard output: the run's
// engine in-process, the command line as a script runs it.

#include "cli/file_names.h"
#include "engine/update_run.h"
#include "sim_harness.h"
#include "tool_run.h"
#include "wait_until.h"

#include <QJsonArray>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <functional>

namespace {

const QString dev_null = QStringLiteral("/dev/null"), dev_zero = QStringLiteral("/dev/zero"); // never open as serial ports

struct EngineCase
{
    QString image;        // "" no file chosen
    RunOptions options;   // parallel, keep_going, retries
    int abort_at_attempt; // 0: no abort
    QStringList words;    // each port's end
    int started_by_start; // ports begun inside start()
    double seconds;       // of the first port; the clock moves 1 s at each attempt
};

struct CliCase
{
    QStringList args;
    std::function<void(const QTemporaryDir &, qint64 pid)> once_started;
    int exit_code;
    QMap<QString, QString> words; // port to its end; empty: no run
};

// Ports in run_start each end once; the summary, last, lists exactly the ends.
void check_invariants(const Run &run, const QMap<QString, QString> &words)
{
    QVERIFY2(run.all_json, qPrintable(run.out));
    QCOMPARE(run.events.first().value("event").toString() + ' ' + run.events.last().value("event").toString(),
             QStringLiteral("run_start summary"));
    QMap<QString, QString> ends, summed;
    for (const QJsonObject &end : run.of("port_end")) {
        QVERIFY(!ends.contains(end.value("port").toString()));
        ends.insert(end.value("port").toString(), end.value("result").toString());
    }
    QCOMPARE(ends, words);
    for (const QString word : {"ok", "failed", "aborted", "skipped"}) {
        for (const QJsonValue &port : run.events.last().value(word).toArray())
            summed.insert(port.toString(), word);
    }
    QCOMPARE(summed, ends);
}

} // namespace

class TestRunInvariants : public QObject
{
    Q_OBJECT

private slots:
    void engine_runs()
    {
        QTemporaryDir dir;
        const QString image = write_image(dir, 300), missing = dir.filePath("none.bin");
        const QString f = "failed", a = "aborted", s = "skipped";
        const QList<QPair<const char *, EngineCase>> cases = {
            {"parallel, no file chosen", {QString(), {true, false, 2, {}, {}}, 0, {f, f, f}, 3, 0}},
            {"parallel, image missing: not retried", {missing, {true, false, 2, {}, {}}, 0, {f, f}, 2, 1}},
            {"one after another, no file: next port from the loop", {QString(), {false, true, 0, {}, {}}, 0, {f, f, f}, 1, 0}},
            {"retries: seconds of every attempt", {image, {false, false, 2, {}, {}}, 0, {f, s}, 1, 3}},
            {"aborted between attempts", {image, {false, false, 5, {}, {}}, 2, {a, s}, 1, 2}},
            {"parallel, aborted between attempts", {image, {true, false, 5, {}, {}}, 2, {a, a}, 2, -1}},
            {"parallel, more ports than the window's rows", {image, {true, false, 0, {}, {}}, 0, QVector<QString>(10, f).toList(), 10, -1}},
        };
        QStringList all_ports = {dev_null, dev_zero};
        while (all_ports.size() < 10)
            all_ports << dir.filePath(QStringLiteral("ttyX%1").arg(all_ports.size()));
        for (const auto &row : cases) {
            const EngineCase &c = row.second;
            const QStringList ports = all_ports.mid(0, c.words.size());
            ManualClock clock;
            RunOptions options = c.options;
            options.update.clock = &clock;
            UpdateRun run(ports, c.image, options);
            QMap<QString, int> attempts;
            QSet<QString> touched; // ports started or ended
            QList<PortSummary> ends;
            int finished = 0;
            connect(&run, &UpdateRun::attempt_started, this, [&](const QString &port, int attempt) {
                QCOMPARE(attempt, ++attempts[port]);
                touched << port;
                clock.advance(1000);
                if (attempt == c.abort_at_attempt)
                    run.abort();
            });
            connect(&run, &UpdateRun::port_finished, this,
                    [&](const QString &port, PortResult result, FailReason reason, double seconds) {
                        QVERIFY(finished == 0);
                        touched << port;
                        ends.append({port, result, reason, seconds});
                    });
            connect(&run, &UpdateRun::finished, this, [&] { ++finished; });
            run.start();
            QVERIFY2(touched.size() == c.started_by_start, row.first);
            QVERIFY2(wait_until([&] { return finished > 0; }, 30000), row.first);
            // Nothing after the end: what it left queued has run and none of its updates still runs.
            bool later = false;
            QTimer::singleShot(0, this, [&] { later = true; });
            const auto settled = [&] {
                return later && std::none_of(ports.begin(), ports.end(),
                                             [&](const QString &port) { return run.update_of(port); });
            };
            QVERIFY2(wait_until(settled, 30000), row.first);
            QCOMPARE(finished, 1);
            QMap<QString, QString> by_port;
            for (const PortSummary &end : ends)
                by_port.insert(end.port, QString::fromLatin1(end_word(end)));
            QStringList words;
            for (const QString &port : ports)
                words << by_port.value(port);
            QVERIFY2(words == c.words && ends.size() == ports.size(), row.first);
            if (c.abort_at_attempt == 0)
                QCOMPARE(attempts.value(ports[0]), c.image == image ? c.options.retries + 1 : int(!c.image.isEmpty()));
            if (c.seconds >= 0)
                QVERIFY2(qFuzzyCompare(1 + ends[0].seconds, 1 + c.seconds), row.first);
        }
    }

    void command_line_runs()
    {
        QTemporaryDir dir;
        const QString image = write_image(dir, 300);
        const QString late = dir.filePath("late"), never = dir.filePath("never");
        use_byte_keeping_file_names(); // the arguments below go out as bytes
        const QString odd_image = QFile::decodeName("odd\xff.bin"), odd_port = dir.filePath(QFile::decodeName("tty\xfe"));
        QVERIFY(QFile::copy(image, dir.filePath(odd_image)) && QFile::link(dev_null, odd_port));
        const QStringList run = {"--json", "--file", image};
        QStringList ten_ports; // files, not serial ports: each fails on its own
        QMap<QString, QString> ten_failed;
        for (int i = 0; i < 10; ++i) {
            const QString port = dir.filePath(QStringLiteral("ttyF%1").arg(i));
            QVERIFY(QFile(port).open(QIODevice::WriteOnly));
            ten_ports << "--port" << port;
            ten_failed.insert(port, "failed");
        }
        const QString f = "failed", a = "aborted", s = "skipped";
        const QStringList shell = {"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", TESSIK_TOOL_PATH};
        const QList<QPair<const char *, CliCase>> cases = {
            {"retries above the bound", {run + QStringList({"--retries", "20000", "--port", dev_null}), {}, 2, {}}},
            {"wait-port nan", {run + QStringList({"--wait-port", "nan", "--port", dev_null}), {}, 2, {}}},
            {"wait-port beyond a day", {run + QStringList({"--wait-port", "1e20", "--port", dev_null}), {}, 2, {}}},
            {"log cannot be written", {run + QStringList({"--log", "/dev/full", "--port", dev_null}), {}, 2, {}}},
            {"parallel with retries", {run + QStringList({"--parallel", "--retries", "2", "--port", dev_null, "--port", dev_zero}), {}, 1, {{dev_null, f}, {dev_zero, f}}}},
            {"log fails during the run", {shell + run + QStringList({"--log", dir.filePath("big.log"), "--keep-going", "--retries", "9", "--port", dev_null, "--port", dev_zero}), {}, 1, {{dev_null, f}, {dev_zero, f}}}},
            {"waited for: merged when they appear", {run + QStringList({"--wait-port", "20", "--port", late, "--port", late + "2"}),
              [](const QTemporaryDir &dir, qint64) {
                  QFile::link(dev_null, dir.filePath("late2"));
                  QFile::link(dev_null, dir.filePath("late"));
              }, 1, {{late, f}}}},
            {"SIGINT while waiting", {run + QStringList({"--wait-port", "20", "--port", never, "--port", dev_null}),
              [](const QTemporaryDir &, qint64 pid) { ::kill(pid_t(pid), SIGINT); }, 130, {{never, a}, {dev_null, a}}}},
            {"waited in vain", {run + QStringList({"--wait-port", "0.3", "--port", never, "--port", dev_null}), {}, 1, {{never, f}, {dev_null, s}}}},
            {"ten ports at once", {run + QStringList({"--parallel"}) + ten_ports, {}, 1, ten_failed}},
            {"not UTF-8", {QStringList({"--json", "--file", dir.filePath(odd_image), "--port", odd_port}), {}, 1, {{odd_port, f}}}},
        };
        for (const auto &row : cases) {
            const CliCase &c = row.second;
            QProcess tool;
            tool.setProcessEnvironment(tool_environment());
            const bool in_shell = c.args.first() == QLatin1String("-c");
            tool.start(in_shell ? QStringLiteral("/bin/sh") : QStringLiteral(TESSIK_TOOL_PATH), c.args);
            QVERIFY(tool.waitForStarted());
            if (c.once_started) {
                QVERIFY(tool.waitForReadyRead(10000));
                c.once_started(dir, tool.processId());
            }
            const Run result = finish(tool, 60000);
            QVERIFY2(result.exit_code == c.exit_code, qPrintable(QString::fromLatin1(row.first) + result.err));
            if (c.words.isEmpty()) {
                QVERIFY2(result.events.isEmpty(), row.first);
                continue;
            }
            check_invariants(result, c.words);
            if (QTest::currentTestFailed())
                QFAIL(row.first);
            QCOMPARE(result.of("port_merged").size(), c.words.contains(late) ? 1 : 0);
            if (in_shell)
                QCOMPARE(result.of("log_error").size(), 1);
            if (c.words.contains(odd_port))
                QCOMPARE(result.of("port_end").first().value("reason").toString(), QStringLiteral("open_failed"));
        }
    }

    // A reader that reads six lines and leaves: the update goes on to its end.
    void a_vanished_reader_does_not_end_the_update()
    {
        SimModule sim({"--app-baud", "115200"});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString image = write_image(dir, 20000), log = dir.filePath("run.log");
        QProcess tool, head;
        tool.setProcessEnvironment(tool_environment());
        tool.setStandardOutputProcess(&head);
        head.start("head", {"-n", "6"});
        tool.start(TESSIK_TOOL_PATH, {"--json", "--log", log, "--file", image, "--port", sim.link()});
        QVERIFY(head.waitForFinished(60000));
        QCOMPARE(head.readAllStandardOutput().count('\n'), 6);
        QVERIFY(tool.waitForFinished(60000));
        QVERIFY(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0);
        QVERIFY(sim.waitForFinished(5000));
        QFile file(image), record(log);
        QVERIFY(file.open(QIODevice::ReadOnly) && record.open(QIODevice::ReadOnly));
        QCOMPARE(sim.outData(), file.readAll());
        QVERIFY(record.readAll().contains("# summary: ok [" + sim.link().toUtf8() + ']'));
    }
};

QTEST_GUILESS_MAIN(TestRunInvariants)
#include "test_run_invariants.moc"
