// Many headless runs against simulated modules that inject random faults,
// each port's reported result checked against what its module holds: a port
// reported "ok" must have a module that acknowledged the EOT of exactly this
// image, and a failed port must have met a fault that explains its reason.
// Exit codes and summaries must agree with the port results; no run may
// outlast its bound. The storm runs once; each test function looks at one
// side of it. TESSIK_STORM_SEED picks another storm.

#include "sim_harness.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int block_size = 128;
constexpr int tool_timeout_ms = 150000;
constexpr int runs_at_once = 8;

const QStringList fault_kinds = {QStringLiteral("nak"),        QStringLiteral("corrupt_rx"),
                                 QStringLiteral("corrupt_tx"), QStringLiteral("lose_reply"),
                                 QStringLiteral("dup_reply"),  QStringLiteral("stray_start"),
                                 QStringLiteral("can"),        QStringLiteral("vanish")};

// Probabilities per occasion, one set per run.
struct Profile
{
    const char *name;
    QMap<QString, double> p;
};

const QVector<Profile> &profiles()
{
    static const QVector<Profile> list = {
        {"recoverable",
         {{"nak", 0.04}, {"corrupt_rx", 0.04}, {"dup_reply", 0.03}, {"stray_start", 0.03}, {"lose_reply", 0.02}}},
        {"everything",
         {{"nak", 0.02}, {"corrupt_rx", 0.02}, {"corrupt_tx", 0.02}, {"lose_reply", 0.02}, {"dup_reply", 0.02},
          {"stray_start", 0.02}, {"can", 0.02}, {"vanish", 0.02}}},
        {"line",
         {{"corrupt_rx", 0.03}, {"corrupt_tx", 0.03}, {"lose_reply", 0.03}, {"dup_reply", 0.05},
          {"stray_start", 0.05}}},
        {"module",
         {{"nak", 0.05}, {"corrupt_rx", 0.02}, {"lose_reply", 0.02}, {"can", 0.02}, {"vanish", 0.02}}},
    };
    return list;
}

struct RunPlan
{
    int index = 0;
    int modules = 0;
    bool parallel = false;
    bool keep_going = false;
    int profile = 0;
    int image_size = 0;
    quint32 seed = 0; // image content and the modules' fault seeds
};

// Long one-after-another runs first, so they overlap the parallel ones.
QVector<RunPlan> plan_storm(quint32 base_seed)
{
    QVector<RunPlan> plans;
    QRandomGenerator rng(base_seed);
    auto add = [&](int count, int modules, bool parallel, bool keep_going) {
        for (int i = 0; i < count; ++i) {
            RunPlan plan;
            plan.index = plans.size();
            plan.modules = modules;
            plan.parallel = parallel;
            plan.keep_going = keep_going;
            plan.profile = plan.index % profiles().size();
            // Now and then a whole number of blocks, so no padding is sent.
            plan.image_size = plan.index % 5 == 4 ? block_size * int(rng.bounded(8, 33))
                                                  : int(rng.bounded(1024, 4097));
            plan.seed = base_seed + 1000u * quint32(plan.index);
            plans << plan;
        }
    };
    add(4, 3, false, true);
    add(4, 3, false, false);
    add(2, 1, false, false);
    add(4, 4, true, false);
    add(24, 8, true, true);
    return plans;
}

QByteArray random_image(int size, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>(rng.bounded(256));
    if (data.at(size - 1) == '\x1a')
        data[size - 1] = '\x1b';
    return data;
}

QString sha256_hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QByteArray padded(const QByteArray &image)
{
    const int rest = image.size() % block_size;
    return rest == 0 ? image : image + QByteArray(block_size - rest, '\x1a');
}

struct PortEnd
{
    QString result;
    QString reason;
    double seconds = 0;
    int count = 0;
};

struct ActiveRun
{
    RunPlan plan;
    QByteArray image;
    QString image_path;
    std::vector<std::unique_ptr<SimModule>> modules;
    std::vector<quint32> fault_seeds;
    QStringList ports;
    std::unique_ptr<QProcess> tool;
    QElapsedTimer clock;
    bool timed_out = false;
};

struct Totals
{
    int runs = 0;
    int ports = 0;
    int started = 0;
    int ok = 0;
    int failed = 0;
    int skipped = 0;
    int complete_but_failed = 0; // the module holds the image, the tool said failed
    int timeouts = 0;
    qint64 longest_run_ms = 0;
    QMap<QString, int> faults;
    QMap<QString, int> reasons;
    QStringList run_mismatches;     // bounds, exit codes, summaries, skipping
    QStringList success_mismatches; // "ok" without the image in the module
    QStringList cause_mismatches;   // a failure no injected fault explains
};

enum class Side { run, success, cause };

// The faults that can end a port with this reason; empty: none can.
// "lone_start": a stray start character whose ACK was lost before it.
QStringList causes_of(const QString &reason)
{
    if (reason == QLatin1String("cancelled_by_module"))
        return {QStringLiteral("can")};
    if (reason == QLatin1String("unexpected_reply"))
        return {QStringLiteral("corrupt_tx"), QStringLiteral("lone_start")};
    if (reason == QLatin1String("port_lost"))
        return {QStringLiteral("vanish")};
    if (reason == QLatin1String("retries_exhausted"))
        return {QStringLiteral("nak"), QStringLiteral("corrupt_rx"), QStringLiteral("lose_reply")};
    if (reason == QLatin1String("eot_unconfirmed"))
        return {QStringLiteral("nak"), QStringLiteral("lose_reply"), QStringLiteral("corrupt_tx")};
    return {};
}

} // namespace

class TestStorm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("TESSIK_STORM_SEED"))
            base_seed = qEnvironmentVariable("TESSIK_STORM_SEED").toUInt();
        QVERIFY(dir.isValid());
        const QVector<RunPlan> plans = plan_storm(base_seed);

        QElapsedTimer wall;
        wall.start();
        std::vector<std::unique_ptr<ActiveRun>> active;
        int next = 0;
        while (next < plans.size() || !active.empty()) {
            while (next < plans.size() && int(active.size()) < runs_at_once) {
                auto run = start_run(plans[next++]);
                QVERIFY2(run, "a run did not start");
                active.push_back(std::move(run));
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(20);
            for (auto it = active.begin(); it != active.end();) {
                ActiveRun &run = **it;
                if (run.tool->state() != QProcess::NotRunning && run.clock.elapsed() > tool_timeout_ms) {
                    run.timed_out = true;
                    run.tool->kill();
                    run.tool->waitForFinished(5000);
                }
                if (run.tool->state() == QProcess::NotRunning) {
                    check_run(run);
                    it = active.erase(it);
                } else {
                    ++it;
                }
            }
        }
        print_totals(wall.elapsed());
    }

    void runs_end_in_time_and_report_consistently()
    {
        QVERIFY(totals.started >= 200);
        QVERIFY2(totals.run_mismatches.isEmpty(), qPrintable(totals.run_mismatches.join(QLatin1Char('\n'))));
    }

    void reported_success_means_the_module_holds_the_image()
    {
        // Every kind of fault was met, more than once.
        for (const QString &kind : fault_kinds)
            QVERIFY2(totals.faults.value(kind) >= 2, qPrintable(kind));
        // Transfers that survive faults and faults that end transfers both occur.
        QVERIFY(totals.ok > 0 && totals.failed > 0);
        QVERIFY2(totals.success_mismatches.isEmpty(), qPrintable(totals.success_mismatches.join(QLatin1Char('\n'))));
    }

    void every_failure_has_a_fault_behind_it()
    {
        QVERIFY2(totals.cause_mismatches.isEmpty(), qPrintable(totals.cause_mismatches.join(QLatin1Char('\n'))));
    }

private:
    std::unique_ptr<ActiveRun> start_run(const RunPlan &plan)
    {
        auto run = std::make_unique<ActiveRun>();
        run->plan = plan;
        run->image = random_image(plan.image_size, plan.seed);
        run->image_path = dir.filePath(QStringLiteral("image%1.bin").arg(plan.index));
        QFile file(run->image_path);
        if (!file.open(QIODevice::WriteOnly) || file.write(run->image) != run->image.size())
            return nullptr;
        file.close();

        const Profile &profile = profiles().at(plan.profile);
        for (int i = 0; i < plan.modules; ++i) {
            const quint32 fault_seed = plan.seed + quint32(i);
            QStringList args = {QStringLiteral("--app-baud"),    QStringLiteral("115200"),
                                QStringLiteral("--max-seconds"), QStringLiteral("600"),
                                QStringLiteral("--fault-seed"),  QString::number(fault_seed)};
            for (auto p = profile.p.cbegin(); p != profile.p.cend(); ++p)
                args << QStringLiteral("--fault-") + QString(p.key()).replace(QLatin1Char('_'), QLatin1Char('-'))
                     << QString::number(p.value());
            auto sim = std::make_unique<SimModule>(args);
            // Names that sort in the order of the modules.
            sim->setLink(dir.filePath(QStringLiteral("ttyR%1M%2").arg(plan.index, 2, 10, QLatin1Char('0')).arg(i)));
            if (!sim->start())
                return nullptr;
            run->ports << sim->link();
            run->fault_seeds.push_back(fault_seed);
            run->modules.push_back(std::move(sim));
        }

        QStringList args = {QStringLiteral("--file"), run->image_path, QStringLiteral("--json")};
        for (const QString &port : qAsConst(run->ports))
            args << QStringLiteral("--port") << port;
        if (plan.parallel)
            args << QStringLiteral("--parallel");
        if (plan.keep_going)
            args << QStringLiteral("--keep-going");
        run->tool = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TESSIK_SYSTEM_PORTS"), QStringLiteral("off"));
        env.remove(QStringLiteral("TESSIK_EXTRA_PORTS"));
        run->tool->setProcessEnvironment(env);
        run->tool->setStandardErrorFile(QProcess::nullDevice());
        run->clock.start();
        run->tool->start(QStringLiteral(TESSIK_TOOL_PATH), args);
        if (!run->tool->waitForStarted(10000))
            return nullptr;
        return run;
    }

    void mismatch(const ActiveRun &run, int module, const QString &what, Side side = Side::run)
    {
        QString where = QStringLiteral("run %1 (%2, %3 modules%4%5, %6 bytes)")
                            .arg(run.plan.index)
                            .arg(QLatin1String(profiles().at(run.plan.profile).name))
                            .arg(run.plan.modules)
                            .arg(run.plan.parallel ? QStringLiteral(", parallel") : QString())
                            .arg(run.plan.keep_going ? QStringLiteral(", keep going") : QString())
                            .arg(run.plan.image_size);
        if (module >= 0)
            where += QStringLiteral(" port %1 fault seed %2").arg(run.ports[module]).arg(run.fault_seeds[module]);
        QStringList &list = side == Side::success ? totals.success_mismatches
                            : side == Side::cause ? totals.cause_mismatches
                                                  : totals.run_mismatches;
        list << where + QStringLiteral(": ") + what;
    }

    void check_run(ActiveRun &run)
    {
        ++totals.runs;
        totals.ports += run.plan.modules;
        totals.longest_run_ms = qMax(totals.longest_run_ms, run.clock.elapsed());
        if (run.timed_out) {
            ++totals.timeouts;
            mismatch(run, -1, QStringLiteral("the tool did not end within %1 s").arg(tool_timeout_ms / 1000));
            return;
        }
        if (run.tool->exitStatus() != QProcess::NormalExit) {
            mismatch(run, -1, QStringLiteral("the tool crashed"));
            return;
        }

        QMap<QString, PortEnd> ends;
        QJsonObject summary;
        int summaries = 0;
        for (const QByteArray &line : run.tool->readAllStandardOutput().split('\n')) {
            if (line.trimmed().isEmpty())
                continue;
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            const QString name = event.value(QStringLiteral("event")).toString();
            if (name.isEmpty()) {
                mismatch(run, -1, QStringLiteral("a line that is no JSON event: ") + QString::fromUtf8(line));
            } else if (name == QLatin1String("port_end")) {
                PortEnd &end = ends[event.value(QStringLiteral("port")).toString()];
                end.result = event.value(QStringLiteral("result")).toString();
                end.reason = event.value(QStringLiteral("reason")).toString();
                end.seconds = event.value(QStringLiteral("seconds")).toDouble();
                ++end.count;
            } else if (name == QLatin1String("summary")) {
                summary = event;
                ++summaries;
            }
        }
        if (summaries != 1)
            mismatch(run, -1, QStringLiteral("%1 summaries").arg(summaries));

        QStringList ok, failed, skipped;
        for (int i = 0; i < run.ports.size(); ++i) {
            const QString &port = run.ports[i];
            const PortEnd end = ends.value(port);
            if (end.count != 1) {
                mismatch(run, i, QStringLiteral("%1 port_end events").arg(end.count));
                continue;
            }
            if (end.result == QLatin1String("ok"))
                ok << port;
            else if (end.result == QLatin1String("failed"))
                failed << port;
            else if (end.result == QLatin1String("skipped"))
                skipped << port;
            else
                mismatch(run, i, QStringLiteral("result \"%1\"").arg(end.result));
            if (end.seconds * 1000 > tool_timeout_ms)
                mismatch(run, i, QStringLiteral("took %1 s").arg(end.seconds));
            check_port(run, i, end);
        }
        if (ends.size() != run.ports.size())
            mismatch(run, -1, QStringLiteral("port_end for ports not asked for: %1")
                                  .arg(QStringList(ends.keys()).join(QLatin1Char(' '))));

        auto as_set = [](const QJsonValue &list) {
            QSet<QString> set;
            for (const QJsonValue &item : list.toArray())
                set << item.toString();
            return set;
        };
        auto set_of = [](const QStringList &list) { return QSet<QString>(list.cbegin(), list.cend()); };
        if (as_set(summary.value(QStringLiteral("ok"))) != set_of(ok)
            || as_set(summary.value(QStringLiteral("failed"))) != set_of(failed)
            || as_set(summary.value(QStringLiteral("skipped"))) != set_of(skipped))
            mismatch(run, -1, QStringLiteral("summary %1 disagrees with the port results")
                                  .arg(QString::fromUtf8(QJsonDocument(summary).toJson(QJsonDocument::Compact))));
        const int expected_exit = ok.size() == run.ports.size() ? 0 : 1;
        if (run.tool->exitCode() != expected_exit)
            mismatch(run, -1, QStringLiteral("exit code %1 with %2 of %3 ports ok")
                                  .arg(run.tool->exitCode())
                                  .arg(ok.size())
                                  .arg(run.ports.size()));

        // Only a one-after-another run without --keep-going skips, and only
        // the ports after its first failure.
        if (run.plan.parallel || run.plan.keep_going) {
            if (!skipped.isEmpty())
                mismatch(run, -1, QStringLiteral("skipped ports: ") + skipped.join(QLatin1Char(' ')));
        } else {
            const int first_failure = failed.isEmpty() ? run.ports.size() : run.ports.indexOf(failed.first());
            for (int i = 0; i < run.ports.size(); ++i) {
                const QString want = i < first_failure    ? QStringLiteral("ok")
                                     : i == first_failure ? QStringLiteral("failed")
                                                          : QStringLiteral("skipped");
                if (ends.value(run.ports[i]).result != want)
                    mismatch(run, i, QStringLiteral("%1 where %2 was due").arg(ends.value(run.ports[i]).result, want));
            }
        }
    }

    void check_port(const ActiveRun &run, int i, const PortEnd &end)
    {
        const SimModule &sim = *run.modules[size_t(i)];
        QJsonObject result;
        QSet<QString> kinds_met;
        QStringList faults_met;
        QMap<QString, QSet<QString>> kinds_by_frame;
        bool eot_reply_fault = false;
        bool touched = false;
        for (const QJsonObject &record : sim.records()) {
            const QString event = record.value(QStringLiteral("event")).toString();
            if (event == QLatin1String("result")) {
                result = record;
            } else if (event == QLatin1String("fault")) {
                const QString kind = record.value(QStringLiteral("kind")).toString();
                const bool on_eot = record.value(QStringLiteral("frame")).toString() == QLatin1String("eot");
                const QString frame = on_eot ? QStringLiteral("eot")
                                             : QString::number(record.value(QStringLiteral("block")).toInt());
                ++totals.faults[kind];
                kinds_met << kind;
                faults_met << kind + QLatin1Char('@') + frame;
                kinds_by_frame[frame] << kind;
                if (kinds_by_frame[frame].contains(QStringLiteral("lose_reply"))
                    && kinds_by_frame[frame].contains(QStringLiteral("stray_start")))
                    kinds_met << QStringLiteral("lone_start");
                if (on_eot && (kind == QLatin1String("lose_reply") || kind == QLatin1String("corrupt_tx")))
                    eot_reply_fault = true;
            }
            if (record.value(QStringLiteral("dir")).toString() == QLatin1String("rx"))
                touched = true;
        }
        const QByteArray sent = padded(run.image);
        const bool holds_image = result.value(QStringLiteral("complete")).toBool()
                                 && result.value(QStringLiteral("bytes")).toInt() == sent.size()
                                 && result.value(QStringLiteral("sha256")).toString() == sha256_hex(sent)
                                 && result.value(QStringLiteral("sha256_trimmed")).toString() == sha256_hex(run.image);
        const QString module_says =
            QStringLiteral("module result %1, faults [%2]")
                .arg(result.isEmpty() ? QStringLiteral("none (still receiving)")
                                      : QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)),
                     faults_met.join(QLatin1Char(' ')));

        if (end.result == QLatin1String("skipped")) {
            ++totals.skipped;
            if (touched)
                mismatch(run, i, QStringLiteral("skipped, yet the module received bytes"));
            return;
        }
        ++totals.started;
        ++totals.reasons[end.reason];
        if (end.result == QLatin1String("ok")) {
            ++totals.ok;
            if (end.reason != QLatin1String("ok"))
                mismatch(run, i, QStringLiteral("ok with reason ") + end.reason, Side::success);
            if (!holds_image)
                mismatch(run, i, QStringLiteral("reported ok; ") + module_says, Side::success);
            return;
        }
        ++totals.failed;
        if (holds_image)
            ++totals.complete_but_failed;
        // The module holds the image but the ACK of its EOT was lost or
        // damaged on the way, and then the module stops listening: the tool
        // cannot know, and saying failed is right.
        if (holds_image && eot_reply_fault)
            return;
        bool explained = false;
        for (const QString &kind : causes_of(end.reason))
            explained = explained || kinds_met.contains(kind);
        if (!explained)
            mismatch(run, i, QStringLiteral("failed with reason %1; %2").arg(end.reason, module_says), Side::cause);
    }

    void print_totals(qint64 wall_ms)
    {
        QStringList faults;
        int fault_total = 0;
        for (const QString &kind : fault_kinds) {
            faults << QStringLiteral("%1 %2").arg(kind).arg(totals.faults.value(kind));
            fault_total += totals.faults.value(kind);
        }
        QStringList reasons;
        for (auto it = totals.reasons.cbegin(); it != totals.reasons.cend(); ++it)
            reasons << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
        const QString text =
            QStringLiteral("storm seed %1: %2 runs, %3 ports, %4 updates started (%5 ok, %6 failed), %7 skipped\n"
                           "  faults injected: %8 (%9)\n"
                           "  failed although the module holds the image (EOT's ACK lost or damaged): %10\n"
                           "  end reasons: %11\n"
                           "  mismatches: %12 ok without the image, %13 failures without a cause, %14 in runs "
                           "(%15 timeouts); longest run %16 s, wall %17 s")
                .arg(base_seed)
                .arg(totals.runs)
                .arg(totals.ports)
                .arg(totals.started)
                .arg(totals.ok)
                .arg(totals.failed)
                .arg(totals.skipped)
                .arg(fault_total)
                .arg(faults.join(QStringLiteral(", ")))
                .arg(totals.complete_but_failed)
                .arg(reasons.join(QStringLiteral(", ")))
                .arg(totals.success_mismatches.size())
                .arg(totals.cause_mismatches.size())
                .arg(totals.run_mismatches.size())
                .arg(totals.timeouts)
                .arg(totals.longest_run_ms / 1000.0, 0, 'f', 1)
                .arg(wall_ms / 1000.0, 0, 'f', 1);
        std::fprintf(stdout, "%s\n", qPrintable(text));
        std::fflush(stdout);
    }

    quint32 base_seed = 7301;
    QTemporaryDir dir;
    Totals totals;
};

QTEST_GUILESS_MAIN(TestStorm)
#include "test_storm.moc"
