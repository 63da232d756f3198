#include "cli/watch.h"

#include "cli/human_text.h"
#include "cli/run_image.h"
#include "cli/run_ports.h"
#include "cli/run_signals.h"
#include "cli/session_report.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

namespace {

constexpr int station_interval_ms = 10000;

QJsonObject station_fields(const FixtureLoop &station)
{
    const StationCounters &tally = station.counters();
    return {{QStringLiteral("event"), QStringLiteral("station")},
            {QStringLiteral("units_ok"), tally.ok},
            {QStringLiteral("units_failed"), tally.failed},
            {QStringLiteral("per_hour"), tally.per_hour(station.elapsed_seconds())},
            {QStringLiteral("mean_seconds"), tally.mean_seconds()},
            {QStringLiteral("seconds"), station.elapsed_seconds()}};
}

// For people in the language in use; the log file's summary in the sources' words.
QString station_text(const FixtureLoop &station, bool for_people)
{
    const StationCounters &tally = station.counters();
    const char *const format = QT_TRANSLATE_NOOP("cli", "station: %1 ok, %2 failed, %3 per hour, %4 s per unit");
    return (for_people ? HumanText::tr(format) : QString::fromUtf8(format))
        .arg(tally.ok)
        .arg(tally.failed)
        .arg(tally.per_hour(station.elapsed_seconds()), 0, 'f', 1)
        .arg(tally.mean_seconds(), 0, 'f', 1);
}

// One --watch run: the station's session and what only a station tells,
// its counters now and then and at the end.
class WatchRun
{
public:
    WatchRun(const CommandLine &line, RunRequest request)
        : line(line), writer(line.json, line.quiet), request(std::move(request)), report(line, this->request, writer),
          session(this->request)
    {}

    bool start_log() { return report.start_log(); }
    // Until --count units or a signal; returns the exit code.
    int exec();

private:
    int finish();
    FixtureLoop &station() const { return *session.loop(); }

    const CommandLine &line;
    EventWriter writer;
    const RunRequest request;
    SessionReport report;
    RunSession session;
    QTimer station_tick;
    bool cut_short = false;
};

int WatchRun::exec()
{
    RunSignals signal_handling([this] { session.abort(); });
    report.run_start({{QStringLiteral("watch"), true},
                      {QStringLiteral("count"), line.count},
                      {QStringLiteral("gone_after"), line.gone_after_seconds}});
    writer.human(HumanText::tr("watching %1: put a module into a fixture\n")
                     .arg(request.ports.join(QStringLiteral(", "))));
    report.watch(&session);
    QObject::connect(&session, &RunSession::unit_ended,
                     [this](const QString &, int, int, PortResult, FailReason reason) {
                         cut_short = cut_short || reason == FailReason::aborted;
                     });
    QObject::connect(&session, &RunEvents::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&station_tick, &QTimer::timeout, [this] { writer.event(station_fields(station())); });
    if (line.json)
        station_tick.start(station_interval_ms);
    session.start();
    QCoreApplication::exec();
    station_tick.stop();
    return finish();
}

// The station's last counters, then the summary, always last.
int WatchRun::finish()
{
    const bool history_failed = report.history().finish();
    const StationCounters &tally = station().counters();
    writer.event(station_fields(station()));
    writer.human(station_text(station(), true) + QLatin1Char('\n'));
    QJsonArray per_port;
    for (const QString &port : request.ports)
        per_port.append(
            QJsonObject{{QStringLiteral("port"), port}, {QStringLiteral("units"), station().units_of(port)}});
    writer.to_file(QStringLiteral("# summary: %1\n").arg(station_text(station(), false)));
    writer.event({{QStringLiteral("event"), QStringLiteral("summary")},
                  {QStringLiteral("units"), tally.units()},
                  {QStringLiteral("units_ok"), tally.ok},
                  {QStringLiteral("units_failed"), tally.failed},
                  {QStringLiteral("units_skipped"), tally.skipped},
                  {QStringLiteral("ports"), per_port},
                  {QStringLiteral("seconds"), station().elapsed_seconds()}});
    if (cut_short)
        return exit_aborted;
    if (tally.failed > 0 || writer.log_failed())
        return exit_failed;
    return history_failed ? exit_records : exit_ok;
}

} // namespace

int run_watch(const CommandLine &line)
{
    // Two names of one device are one port; a port may be plugged in later.
    const RunPorts ports = resolve_run_ports(line.ports);
    for (const QString &port : ports.labels) {
        if (ports.devices.value(port).isEmpty()) {
            put(stderr,
                HumanText::tr("tessik-update-tool: port %1 is not among the system's ports\n").arg(port));
            return exit_usage;
        }
    }
    ReleaseApproval release;
    const std::shared_ptr<const Image> image = read_run_image(line, release);
    if (!image)
        return exit_usage;
    WatchRun run(line, request_of(line, image, release, ports.labels, ports.devices));
    if (!run.start_log())
        return exit_usage;
    return run.exec();
}
