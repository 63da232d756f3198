// Many updates in one process, through the engine alone and through the
// window: resident memory, open descriptors and threads must stay flat.
// Each round updates a few fresh simulated modules at once; after every
// round the descriptors and threads are back to what they were after the
// first, and the resident memory grows by at most 2 MiB after warm-up.
//
// TESSIK_SOAK_UPDATES (default 50), TESSIK_SOAK_SAMPLE_EVERY (default 10)
// and TESSIK_SOAK_BATCH (modules per round, default 5) scale it; bench/soak
// runs it long.

#include "engine/update_run.h"
#include "sim_harness.h"
#include "update_rig.h"
#include "wait_until.h"
#include "window_probe.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr qint64 rss_growth_limit_kib = 2048;

// AddressSanitizer keeps freed memory aside (its quarantine) before reusing
// it, so resident memory grows without any leak; LeakSanitizer judges leaks
// in that build instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool resident_memory_meaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool resident_memory_meaningful = false;
#else
constexpr bool resident_memory_meaningful = true;
#endif
#else
constexpr bool resident_memory_meaningful = true;
#endif
constexpr int round_timeout_ms = 120000;

struct Usage
{
    qint64 rss_kib = 0;
    int threads = 0;
    int fds = 0;
};

Usage usage_now()
{
    Usage usage;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                usage.rss_kib = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (line.startsWith("Threads:"))
                usage.threads = line.mid(8).trimmed().toInt();
        }
    }
    // The listing's own descriptor is counted every time alike.
    usage.fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
    return usage;
}

int setting(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// Runs the rounds of one soak and keeps its figures.
class Soak
{
public:
    explicit Soak(const char *label) : label(label)
    {
        updates = setting("TESSIK_SOAK_UPDATES", 50);
        sample_every = setting("TESSIK_SOAK_SAMPLE_EVERY", 10);
        batch = qMax(setting("TESSIK_SOAK_BATCH", 5), 1);
        image = sample_image(3000);
        image_path = dir.filePath(QStringLiteral("image.bin"));
        QFile file(image_path);
        if (file.open(QIODevice::WriteOnly))
            file.write(image);
        for (int i = 0; i < batch; ++i)
            links << dir.filePath(QStringLiteral("ttySOAK%1").arg(i));
    }

    const char *label;
    int updates = 0;
    int sample_every = 0;
    int batch = 0;
    QTemporaryDir dir;
    QByteArray image;
    QString image_path;
    QStringList links;
    std::vector<std::unique_ptr<SimModule>> modules;

    int done = 0;
    int ok = 0;
    int failed = 0;
    int verified = 0; // "ok" ports whose module holds the image
    QStringList failures;
    Usage baseline;
    QVector<QPair<int, Usage>> samples;
    QStringList drift; // rounds after which descriptors or threads were off
    QElapsedTimer clock;

    // Fresh modules on the same port names, for the next round.
    bool start_modules(int count)
    {
        modules.clear();
        for (int i = 0; i < count; ++i) {
            modules.push_back(std::make_unique<SimModule>(
                QStringList{QStringLiteral("--app-baud"), QStringLiteral("115200"), QStringLiteral("--max-seconds"),
                            QStringLiteral("300")}));
            modules.back()->setLink(links[i]);
            if (!modules.back()->start())
                return false;
        }
        return true;
    }

    // Counts the round's results; the modules are stopped afterwards.
    void end_round(const QVector<PortSummary> &summary)
    {
        for (const PortSummary &port : summary) {
            ++done;
            const int index = links.indexOf(port.port);
            if (port.result == PortResult::success) {
                ++ok;
                if (index >= 0 && modules[size_t(index)]->waitForEvent(QStringLiteral("done"), 5000)
                    && modules[size_t(index)]->outData() == image)
                    ++verified;
            } else {
                ++failed;
                if (failures.size() < 10)
                    failures << QStringLiteral("%1 %2").arg(port.port, QLatin1String(reason_code(port.reason)));
            }
        }
        modules.clear();
        settle();
    }

    // Deferred deletions run and finished threads are gone before a sample;
    // a thread or descriptor still there after two seconds stays counted.
    void settle()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        if (baseline.threads == 0)
            return;
        wait_until([&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            const Usage now = usage_now();
            return now.threads == baseline.threads && now.fds == baseline.fds;
        }, 2000);
    }

    void after_round(int round)
    {
        const Usage now = usage_now();
        if (round == 0) {
            baseline = now;
            samples << qMakePair(done, now);
            return;
        }
        if (now.fds != baseline.fds || now.threads != baseline.threads)
            drift << QStringLiteral("after %1 updates: %2 fds, %3 threads").arg(done).arg(now.fds).arg(now.threads);
        if (done / sample_every != (done - batch) / sample_every || done >= updates)
            samples << qMakePair(done, now);
    }

    // Growth of the resident memory from the first sample after warm-up on.
    qint64 rss_growth_kib() const
    {
        qint64 base = -1, top = 0;
        for (const auto &sample : samples) {
            if (sample.first < sample_every)
                continue;
            if (base < 0)
                base = sample.second.rss_kib;
            top = qMax(top, sample.second.rss_kib);
        }
        return base < 0 ? 0 : top - base;
    }

    void print(const QString &extra = QString()) const
    {
        QString text = QStringLiteral("%1 soak: %2 updates in rounds of %3 (%4 ok, %5 verified in the module, "
                                      "%6 failed) in %7 s\n")
                           .arg(QLatin1String(label))
                           .arg(done)
                           .arg(batch)
                           .arg(ok)
                           .arg(verified)
                           .arg(failed)
                           .arg(clock.elapsed() / 1000.0, 0, 'f', 1);
        text += QStringLiteral("  after update   VmRSS KiB  fds  threads\n");
        for (const auto &sample : samples)
            text += QStringLiteral("  %1 %2 %3 %4\n")
                        .arg(sample.first, 12)
                        .arg(sample.second.rss_kib, 11)
                        .arg(sample.second.fds, 4)
                        .arg(sample.second.threads, 8);
        text += QStringLiteral("  RSS growth after warm-up: %1 KiB; rounds with fds or threads off the baseline: %2\n")
                    .arg(rss_growth_kib())
                    .arg(drift.size());
        for (const QString &line : drift.mid(0, 5))
            text += QStringLiteral("    ") + line + QLatin1Char('\n');
        if (!failures.isEmpty())
            text += QStringLiteral("  first failures: ") + failures.join(QStringLiteral(", ")) + QLatin1Char('\n');
        text += extra;
        std::fputs(qPrintable(text), stdout);
        std::fflush(stdout);
    }
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        register_outcome_types();
        QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));
    }

    void engine_updates_leave_nothing_behind()
    {
        Soak soak("engine");
        QVERIFY(soak.dir.isValid());
        soak.clock.start();
        for (int round = 0; soak.done < soak.updates; ++round) {
            const int count = qMin(soak.batch, soak.updates - soak.done);
            QVERIFY(soak.start_modules(count));
            RunOptions options;
            options.parallel = count > 1;
            options.keep_going = true;
            // The module answers at once and reboots in 300 ms.
            options.update.open_pause_ms = 100;
            options.update.reboot_pause_ms = 500;
            auto run = std::make_unique<UpdateRun>(soak.links.mid(0, count), soak.image_path, options);
            bool finished = false;
            QObject::connect(run.get(), &UpdateRun::finished, [&] { finished = true; });
            run->start();
            QVERIFY2(wait_until([&] { return finished; }, round_timeout_ms), "a round did not end");
            const QVector<PortSummary> summary = run->summary();
            run.reset();
            QCOMPARE(summary.size(), count);
            soak.end_round(summary);
            soak.after_round(round);
        }
        soak.print();
        check(soak);
    }

    void window_updates_leave_nothing_behind()
    {
        Soak soak("window");
        QVERIFY(soak.dir.isValid());
        qputenv("TESSIK_EXTRA_PORTS", soak.links.join(QLatin1Char(':')).toUtf8());
        // The window's daily update record goes here, not into the home folder.
        qputenv("XDG_STATE_HOME", soak.dir.path().toUtf8());
        MainWindow window;
        WindowProbe probe(window);
        window.set_parallel(soak.batch > 1);
        probe.firmware_path() = soak.image_path;
        soak.clock.start();
        for (int round = 0; soak.done < soak.updates; ++round) {
            const int count = qMin(soak.batch, soak.updates - soak.done);
            QVERIFY(soak.start_modules(count));
            for (int i = 0; i < soak.batch; ++i)
                QVERIFY(probe.tick(soak.links[i], i < count));
            probe.send_file();
            QVERIFY(probe.run());
            QVERIFY2(wait_until([&] { return probe.idle(); }, round_timeout_ms), "a round did not end");
            QCOMPARE(probe.run()->summary().size(), count);
            soak.end_round(probe.run()->summary());
            // The recorder keeps every box; the window does not.
            probe.boxes.clear();
            soak.after_round(round);
        }
        soak.print(QStringLiteral("  the window's log holds %1 lines, %2 KiB of text\n")
                       .arg(probe.log_bodies().size())
                       .arg(probe.log_text().size() * 2 / 1024));
        check(soak);
    }

private:
    static void check(const Soak &soak)
    {
        QCOMPARE(soak.done, soak.updates);
        // The soak is about what updates leave behind; most must get through.
        QVERIFY2(soak.ok * 2 > soak.done, qPrintable(soak.failures.join(QStringLiteral(", "))));
        QCOMPARE(soak.verified, soak.ok);
        QVERIFY2(soak.drift.isEmpty(), qPrintable(soak.drift.join(QStringLiteral("; "))));
        if (resident_memory_meaningful)
            QVERIFY2(soak.rss_growth_kib() <= rss_growth_limit_kib,
                     qPrintable(QStringLiteral("%1 KiB").arg(soak.rss_growth_kib())));
    }
};

QTEST_MAIN(TestSoak)
#include "test_soak.moc"
