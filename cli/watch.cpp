#include "cli/watch.h"

#include "cli/check_events.h"
#include "cli/event_writer.h"
#include "cli/port_names.h"
#include "cli/run_history.h"
#include "cli/run_image.h"
#include "cli/signal_watch.h"
#include "engine/fixture_loop.h"
#include "engine/image.h"
#include "engine/log_format.h"
#include "platform/platform.h"
#include "records/done_lookup.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTimer>

namespace {

constexpr int station_interval_ms = 10000;

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

// The log file's first line.
QString watch_header(const CommandLine &line, const Image &image, const QStringList &ports)
{
    return QStringLiteral("# %1 %2: image %3, %4 bytes, sha256 %5, watching ports %6\n")
        .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(), line.file)
        .arg(image.bytes.size())
        .arg(image.sha256_hex(), ports.join(QStringLiteral(", ")));
}

// One --watch run: the station, and everything it reports (through the
// report, whose log file is open already).
class WatchSession
{
public:
    WatchSession(const CommandLine &line, std::shared_ptr<const Image> image, const QStringList &ports,
                 const QMap<QString, QString> &devices, EventWriter &report);

    // Until --count units or abort(); returns the exit code.
    int run();
    void abort() { station.abort(); }

private:
    static FixtureOptions fixture_options(const CommandLine &line, std::shared_ptr<const Image> image);
    void announce();
    void unit_started(const QString &port, int unit, int total);
    void unit_ended(const QString &port, int unit, int total, PortResult result, FailReason reason, double s);
    void progress(const QString &port, const QString &text, qint64 sent, qint64 total);
    void event(const QString &name, QJsonObject fields);
    void human(const QString &text) { report.human(text + QLatin1Char('\n')); }
    int finish();

    const CommandLine &line;
    const std::shared_ptr<const Image> image;
    const QStringList ports;
    EventWriter &report;
    FixtureLoop station;
    QTimer station_tick;
    QMap<QString, int> last_percent;
    bool cut_short = false;
    // Every attempt's end is a history row; unit_end tells what the checks found.
    RunHistory history;
    CheckEvents checks{[this](const QJsonObject &event) { report.event(event); }};
};

WatchSession::WatchSession(const CommandLine &line, std::shared_ptr<const Image> image,
                           const QStringList &ports, const QMap<QString, QString> &devices,
                           EventWriter &writer)
    : line(line), image(image), ports(ports), report(writer),
      station(ports, line.file, fixture_options(line, image), line.count, devices),
      history(line.records,
              RunContext{line.records.resolved_station(), line.records.resolved_operator(),
                         QCoreApplication::applicationVersion(), QFileInfo(line.file).absoluteFilePath(),
                         image->bytes.size(), image->sha256_hex(), devices},
              [this](const QJsonObject &event) { report.event(event); })
{
    history.recorder().watch(&station);
    checks.watch(&station);
    QObject::connect(&station, &FixtureLoop::unit_started,
                     [this](const QString &port, int unit, int total) { unit_started(port, unit, total); });
    QObject::connect(&station, &FixtureLoop::unit_ended,
                     [this](const QString &port, int unit, int total, PortResult result, FailReason reason,
                            double s) { unit_ended(port, unit, total, result, reason, s); });
    QObject::connect(&station, &FixtureLoop::module_gone, [this](const QString &port) {
        human(port + QStringLiteral(": module taken out, waiting for the next"));
    });
    QObject::connect(&station, &FixtureLoop::log_line,
                     [this](const QString &port, const QString &body) { report.log_line(port, body); });
    QObject::connect(&station, &FixtureLoop::progress,
                     [this](const QString &port, const QString &text, qint64 sent, qint64 total) {
                         progress(port, text, sent, total);
                     });
    QObject::connect(&station, &FixtureLoop::notice,
                     [](const QString &, NoticeKind, const QString &title, const QString &text) {
                         put(stderr, title + QStringLiteral(": ") + text + QLatin1Char('\n'));
                     });
    QObject::connect(&station, &FixtureLoop::rate_found, [this](const QString &port, int baud) {
        event(QStringLiteral("rate"), {{QStringLiteral("port"), port}, {QStringLiteral("baud"), baud}});
    });
    QObject::connect(&station, &FixtureLoop::reset_needed, [this](const QString &port) {
        event(QStringLiteral("reset_needed"), {{QStringLiteral("port"), port}});
    });
    QObject::connect(&station, &FixtureLoop::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&station_tick, &QTimer::timeout,
                     [this] { event(QStringLiteral("station"), station_fields(station)); });
}

FixtureOptions WatchSession::fixture_options(const CommandLine &line, std::shared_ptr<const Image> image)
{
    FixtureOptions options;
    options.update.image = image;
    options.retries = line.retries;
    options.gone_after_ms = qRound(line.gone_after_seconds * 1000);
    options.update.explain_open_failure = true;
    options.update.checks = line.checks;
    if (line.skip_done)
        options.update.checks.already_done = done_lookup(line.records.resolved_db_path(), image->sha256_hex());
    return options;
}

int WatchSession::run()
{
    announce();
    if (line.json)
        station_tick.start(station_interval_ms);
    station.start();
    QCoreApplication::exec();
    station_tick.stop();
    return finish();
}

void WatchSession::event(const QString &name, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), name);
    report.event(fields);
}

void WatchSession::announce()
{
    event(QStringLiteral("run_start"), {{QStringLiteral("image"), line.file},
                                        {QStringLiteral("bytes"), image->bytes.size()},
                                        {QStringLiteral("sha256"), image->sha256_hex()},
                                        {QStringLiteral("ports"), QJsonArray::fromStringList(ports)},
                                        {QStringLiteral("watch"), true},
                                        {QStringLiteral("count"), line.count},
                                        {QStringLiteral("gone_after"), line.gone_after_seconds},
                                        {QStringLiteral("version"), QCoreApplication::applicationVersion()}});
    human(QStringLiteral("watching %1: put a module into a fixture").arg(ports.join(QStringLiteral(", "))));
}

void WatchSession::unit_started(const QString &port, int unit, int total)
{
    last_percent.remove(port);
    event(QStringLiteral("unit_start"),
          {{QStringLiteral("port"), port}, {QStringLiteral("unit"), unit}, {QStringLiteral("total"), total}});
    human(QStringLiteral("%1 unit %2 (%3 in total): updating").arg(port).arg(unit).arg(total));
}

void WatchSession::unit_ended(const QString &port, int unit, int total, PortResult result, FailReason reason,
                              double s)
{
    cut_short = cut_short || reason == FailReason::aborted;
    const QString word = QString::fromLatin1(result_word(result));
    const QString code = QString::fromLatin1(reason_code(reason));
    QJsonObject end{{QStringLiteral("port"), port},   {QStringLiteral("unit"), unit},
                    {QStringLiteral("total"), total}, {QStringLiteral("result"), word},
                    {QStringLiteral("reason"), code}, {QStringLiteral("seconds"), s}};
    const QJsonObject found = checks.fields(port); // module_id, verified, ...
    for (auto it = found.begin(); it != found.end(); ++it)
        end.insert(it.key(), it.value());
    event(QStringLiteral("unit_end"), end);
    const QString module_id = end.value(QStringLiteral("module_id")).toString();
    // In one pass: the module's own text is never taken for a place marker.
    const QString text = QStringLiteral("%1 unit %2 (%3 in total)%4: %5 (%6), %7 s")
                             .arg(port, QString::number(unit), QString::number(total),
                                  module_id.isEmpty() ? QString() : QStringLiteral(" module ") + printable(module_id), word,
                                  code, QString::number(s, 'f', 1));
    human(text + QStringLiteral("; take it out"));
    report.to_file(QStringLiteral("# ") + text + QLatin1Char('\n'));
}

// At most once per percent and port.
void WatchSession::progress(const QString &port, const QString &text, qint64 sent, qint64 total)
{
    const int percent = total > 0 ? int(sent * 100 / total) : 100;
    if (last_percent.value(port, -1) == percent)
        return;
    last_percent[port] = percent;
    human(port + QLatin1Char(' ') + text);
    event(QStringLiteral("progress"), {{QStringLiteral("port"), port},
                                       {QStringLiteral("bytes"), sent},
                                       {QStringLiteral("total"), total},
                                       {QStringLiteral("percent"), percent}});
}

// The station's last counters, then the summary, always last.
int WatchSession::finish()
{
    const bool history_failed = history.finish();
    const StationCounters &tally = station.counters();
    event(QStringLiteral("station"), station_fields(station));
    human(station_text(station));
    QJsonArray per_port;
    for (const QString &port : ports)
        per_port.append(
            QJsonObject{{QStringLiteral("port"), port}, {QStringLiteral("units"), station.units_of(port)}});
    report.to_file(QStringLiteral("# summary: %1\n").arg(station_text(station)));
    event(QStringLiteral("summary"), {{QStringLiteral("units"), tally.units()},
                                      {QStringLiteral("units_ok"), tally.ok},
                                      {QStringLiteral("units_failed"), tally.failed},
                                      {QStringLiteral("units_skipped"), tally.skipped},
                                      {QStringLiteral("ports"), per_port},
                                      {QStringLiteral("seconds"), station.elapsed_seconds()}});
    if (cut_short)
        return exit_aborted;
    if (tally.failed > 0 || report.log_failed())
        return exit_failed;
    return history_failed ? exit_records : exit_ok;
}

// Two names of one device are one port; a port may be plugged in later.
// False when a name cannot name a port.
bool resolve_ports(const QStringList &arguments, QStringList &ports, QMap<QString, QString> &devices)
{
    QSet<QString> identities;
    for (const QString &argument : arguments) {
        const NamedPort port = resolve_port(argument);
        if (port.device.isEmpty()) {
            put(stderr, QStringLiteral("tessik-update-tool: port %1 is not among the system's ports\n")
                            .arg(argument));
            return false;
        }
        if (!identities.contains(port.identity))
            ports << port.label;
        identities.insert(port.identity);
        devices.insert(port.label, port.device);
    }
    return true;
}

} // namespace

int run_watch(const CommandLine &line)
{
    QStringList ports;
    QMap<QString, QString> devices;
    if (!resolve_ports(line.ports, ports, devices))
        return exit_usage;
    const std::shared_ptr<const Image> image = read_run_image(line);
    if (!image)
        return exit_usage;
    EventWriter report(line.json);
    if (!line.log_file.isEmpty()) {
        const QString log_error = report.start_log(line.log_file, watch_header(line, *image, ports));
        if (!log_error.isEmpty()) {
            put(stderr, QStringLiteral("tessik-update-tool: cannot write the log file %1: %2\n")
                            .arg(line.log_file, log_error));
            return exit_usage;
        }
    }
    SignalWatch signals_in; // before any update starts a thread
    WatchSession session(line, image, ports, devices, report);
    signals_in.on_signal([&session] { session.abort(); }, exit_aborted);
    QObject interrupt_context;
    on_console_interrupt(
        &interrupt_context, [&session] { session.abort(); }, exit_aborted);
    return session.run();
}
