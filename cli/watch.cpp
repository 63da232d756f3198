#include "cli/watch.h"

#include "cli/port_names.h"
#include "engine/fixture_loop.h"
#include "engine/log_format.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

namespace {

constexpr int station_interval_ms = 10000;

void put(std::FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

// Events as JSON Lines, human text, the log file.
class WatchReport
{
public:
    explicit WatchReport(const CommandLine &line) : json(line.json)
    {
        if (line.log_file.isEmpty())
            return;
        file.setFileName(line.log_file);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            put(stderr, QStringLiteral("tessik-update-tool: cannot write the log file %1: %2\n")
                            .arg(line.log_file, file.errorString()));
    }

    void event(const QString &name, QJsonObject object)
    {
        object.insert(QStringLiteral("event"), name);
        if (json)
            put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    }
    void human(const QString &text) { put(json ? stderr : stdout, text + QLatin1Char('\n')); }
    void to_file(const QString &text)
    {
        if (file.isOpen()) {
            file.write(text.toUtf8());
            file.flush();
        }
    }

private:
    bool json;
    QFile file;
};

QJsonObject station_fields(const FixtureLoop &station)
{
    const StationCounters &tally = station.counters();
    return {{QStringLiteral("units_ok"), tally.ok},
            {QStringLiteral("units_failed"), tally.failed},
            {QStringLiteral("per_hour"), tally.per_hour(station.elapsed_seconds())},
            {QStringLiteral("mean_seconds"), tally.mean_seconds()},
            {QStringLiteral("seconds"), station.elapsed_seconds()}};
}

QString station_text(const FixtureLoop &station)
{
    const StationCounters &tally = station.counters();
    return QStringLiteral("station: %1 ok, %2 failed, %3 per hour, %4 s per unit")
        .arg(tally.ok)
        .arg(tally.failed)
        .arg(tally.per_hour(station.elapsed_seconds()), 0, 'f', 1)
        .arg(tally.mean_seconds(), 0, 'f', 1);
}

QString sha256_of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

// SIGINT and SIGTERM read from a descriptor: no handler, no global state.
// Blocked before any thread starts, so every thread leaves them to us.
class SignalWatch
{
public:
    SignalWatch()
    {
#ifdef Q_OS_LINUX
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd >= 0)
            notifier.reset(new QSocketNotifier(fd, QSocketNotifier::Read));
#endif
    }
    ~SignalWatch()
    {
        notifier.reset();
#ifdef Q_OS_LINUX
        if (fd >= 0)
            ::close(fd);
#endif
    }
    // Runs on_first at the first signal; a second one ends the process at once.
    void on_signal(const std::function<void()> &on_first)
    {
        if (!notifier)
            return;
        QObject::connect(notifier.data(), &QSocketNotifier::activated, [this, on_first] {
#ifdef Q_OS_LINUX
            signalfd_siginfo info;
            while (::read(fd, &info, sizeof info) == sizeof info) {
                if (++seen > 1)
                    std::_Exit(exit_aborted);
                on_first();
            }
#endif
        });
    }

private:
    int fd = -1;
    int seen = 0;
    QScopedPointer<QSocketNotifier> notifier;
};

} // namespace

int run_watch(const CommandLine &line)
{
    if (!line.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));
    const QFileInfo image(line.file);
    if (!image.isFile() || !image.isReadable()) {
        put(stderr, QStringLiteral("tessik-update-tool: cannot read the image %1\n").arg(line.file));
        return exit_usage;
    }
    // Two names of one device are one port; a port may be plugged in later.
    QStringList ports;
    QSet<QString> identities;
    QMap<QString, QString> devices;
    for (const QString &argument : line.ports) {
        const NamedPort port = resolve_port(argument);
        if (port.device.isEmpty()) {
            put(stderr, QStringLiteral("tessik-update-tool: port %1 is not among the system's ports\n").arg(argument));
            return exit_usage;
        }
        if (!identities.contains(port.identity))
            ports << port.label;
        identities.insert(port.identity);
        devices.insert(port.label, port.device);
    }

    SignalWatch signals_in;
    WatchReport report(line);
    const QString sha = sha256_of(line.file);
    report.event(QStringLiteral("run_start"),
                 {{QStringLiteral("image"), line.file}, {QStringLiteral("bytes"), image.size()},
                  {QStringLiteral("sha256"), sha}, {QStringLiteral("ports"), QJsonArray::fromStringList(ports)},
                  {QStringLiteral("watch"), true}, {QStringLiteral("count"), line.count},
                  {QStringLiteral("gone_after"), line.gone_after_seconds},
                  {QStringLiteral("version"), QCoreApplication::applicationVersion()}});
    report.to_file(QStringLiteral("# %1 %2: image %3, %4 bytes, sha256 %5, watching ports %6\n")
                       .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(), line.file)
                       .arg(image.size())
                       .arg(sha, ports.join(QStringLiteral(", "))));

    FixtureOptions options;
    options.retries = line.retries;
    options.gone_after_ms = qRound(line.gone_after_seconds * 1000);
    options.update.explain_open_failure = true;
    FixtureLoop station(ports, line.file, options, line.count, devices);
    bool cut_short = false;
    QMap<QString, int> last_percent;

    QObject::connect(&station, &FixtureLoop::unit_started, [&](const QString &port, int unit, int total) {
        last_percent.remove(port);
        report.event(QStringLiteral("unit_start"), {{QStringLiteral("port"), port}, {QStringLiteral("unit"), unit},
                                                    {QStringLiteral("total"), total}});
        report.human(QStringLiteral("%1 unit %2 (%3 in total): updating").arg(port).arg(unit).arg(total));
    });
    QObject::connect(&station, &FixtureLoop::unit_ended,
                     [&](const QString &port, int unit, int total, PortResult result, FailReason reason, double s) {
                         cut_short = cut_short || reason == FailReason::aborted;
                         report.event(QStringLiteral("unit_end"),
                                      {{QStringLiteral("port"), port}, {QStringLiteral("unit"), unit},
                                       {QStringLiteral("total"), total},
                                       {QStringLiteral("result"), QString::fromLatin1(result_word(result))},
                                       {QStringLiteral("reason"), QString::fromLatin1(reason_code(reason))},
                                       {QStringLiteral("seconds"), s}});
                         const QString text = QStringLiteral("%1 unit %2 (%3 in total): %4 (%5), %6 s")
                                                  .arg(port).arg(unit).arg(total)
                                                  .arg(QString::fromLatin1(result_word(result)),
                                                       QString::fromLatin1(reason_code(reason)))
                                                  .arg(s, 0, 'f', 1);
                         report.human(text + QStringLiteral("; take it out"));
                         report.to_file(QStringLiteral("# ") + text + QLatin1Char('\n'));
                     });
    QObject::connect(&station, &FixtureLoop::module_gone, [&](const QString &port) {
        report.human(port + QStringLiteral(": module taken out, waiting for the next"));
    });
    QObject::connect(&station, &FixtureLoop::log_line, [&](const QString &port, const QString &body) {
        const QString text = format_log_line(QDateTime::currentDateTime(), body);
        put(line.json ? stderr : stdout, text);
        report.to_file(text);
        report.event(QStringLiteral("log"), {{QStringLiteral("port"), port}, {QStringLiteral("text"), body}});
    });
    QObject::connect(&station, &FixtureLoop::progress,
                     [&](const QString &port, const QString &text, qint64 sent, qint64 total) {
                         const int percent = total > 0 ? int(sent * 100 / total) : 100;
                         if (last_percent.value(port, -1) == percent)
                             return;
                         last_percent[port] = percent;
                         report.human(port + QLatin1Char(' ') + text);
                         report.event(QStringLiteral("progress"),
                                      {{QStringLiteral("port"), port}, {QStringLiteral("bytes"), sent},
                                       {QStringLiteral("total"), total}, {QStringLiteral("percent"), percent}});
                     });
    QObject::connect(&station, &FixtureLoop::notice,
                     [&](const QString &, NoticeKind, const QString &title, const QString &text) {
                         put(stderr, title + QStringLiteral(": ") + text + QLatin1Char('\n'));
                     });
    QObject::connect(&station, &FixtureLoop::rate_found, [&](const QString &port, int baud) {
        report.event(QStringLiteral("rate"), {{QStringLiteral("port"), port}, {QStringLiteral("baud"), baud}});
    });
    QObject::connect(&station, &FixtureLoop::reset_needed, [&](const QString &port) {
        report.event(QStringLiteral("reset_needed"), {{QStringLiteral("port"), port}});
    });
    QObject::connect(&station, &FixtureLoop::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);

    QTimer station_tick;
    QObject::connect(&station_tick, &QTimer::timeout,
                     [&] { report.event(QStringLiteral("station"), station_fields(station)); });
    if (line.json)
        station_tick.start(station_interval_ms);
    signals_in.on_signal([&] { station.abort(); });

    report.human(QStringLiteral("watching %1: put a module into a fixture").arg(ports.join(QStringLiteral(", "))));
    station.start();
    QCoreApplication::exec();
    station_tick.stop();

    const StationCounters &tally = station.counters();
    report.event(QStringLiteral("station"), station_fields(station));
    report.human(station_text(station));
    QJsonArray per_port;
    for (const QString &port : qAsConst(ports))
        per_port.append(QJsonObject{{QStringLiteral("port"), port}, {QStringLiteral("units"), station.units_of(port)}});
    report.event(QStringLiteral("summary"),
                 {{QStringLiteral("units"), tally.units()}, {QStringLiteral("units_ok"), tally.ok},
                  {QStringLiteral("units_failed"), tally.failed}, {QStringLiteral("ports"), per_port},
                  {QStringLiteral("seconds"), station.elapsed_seconds()}});
    report.to_file(QStringLiteral("# summary: %1\n").arg(station_text(station)));
    if (cut_short)
        return exit_aborted;
    return tally.failed == 0 ? exit_ok : exit_failed;
}
