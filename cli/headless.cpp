#include "cli/headless.h"

#include "cli/human_text.h"
#include "cli/port_names.h"
#include "cli/run_image.h"
#include "cli/run_ports.h"
#include "cli/run_signals.h"
#include "cli/session_report.h"
#include "engine/messages.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <memory>

namespace {

QJsonArray json_list(const QStringList &items)
{
    return QJsonArray::fromStringList(items);
}

int usage_error(const QString &message)
{
    put(stderr, QStringLiteral("tessik-update-tool: %1\n").arg(message) + try_help_text());
    return exit_usage;
}

// One run of the command line: the header, waiting for ports, the update,
// the summary. Every port of the run ends once, through end_port().
class HeadlessRun
{
public:
    HeadlessRun(const CommandLine &line, const RunPorts &ports, std::shared_ptr<const Image> image,
                const ReleaseApproval &release)
        : line(line), writer(line.json, line.quiet), ledger(ports.labels),
          wait(ports.labels, ports.missing.isEmpty() ? 0 : line.wait_port_seconds),
          request(request_of(line, std::move(image), release, ports.labels, ports.devices)),
          report(line, request, writer)
    {
        run_clock.start();
    }

    // Before any port is touched.
    bool start_log() { return report.start_log(); }
    int exec();

private:
    void ports_ready(const RunPorts &ports);
    void start_update(const QStringList &ready, const QMap<QString, QString> &devices);
    void on_signal();
    void end_port(const PortSummary &end);
    void end_port_outside_run(const PortSummary &end);
    int finish();

    const CommandLine &line;
    EventWriter writer;
    RunLedger ledger;
    PortWait wait;
    QElapsedTimer run_clock;
    // Every port and every attempt sends exactly the request's bytes.
    const RunRequest request;
    SessionReport report;
    std::unique_ptr<RunSession> session;
    bool aborted = false;
};

int HeadlessRun::exec()
{
    // Before the first event: a reader gone at once must not end the run.
    RunSignals signal_handling([this] { on_signal(); });
    report.run_start({{QStringLiteral("parallel"), line.parallel}});
    wait.done = [this](const RunPorts &ports) { ports_ready(ports); };
    wait.start();
    QCoreApplication::exec();
    session.reset();
    return finish();
}

void HeadlessRun::end_port(const PortSummary &end)
{
    if (ledger.end(end))
        writer.port_end(end, end.result == PortResult::skipped ? QString() : request.image->sha256_hex(),
                        report.checks.fields(end.port));
}

// A port that the run itself did not end (never found, never started,
// stopped while waiting): its row is written here.
void HeadlessRun::end_port_outside_run(const PortSummary &end)
{
    if (ledger.ended(end.port))
        return;
    end_port(end);
    report.history().recorder().record_end(end.port, end.result == PortResult::skipped ? 0 : 1, end.result,
                                           end.reason, end.seconds);
}

// Ports named before they existed are resolved again now: one that turned
// out to be a second name of another leaves the run.
void HeadlessRun::ports_ready(const RunPorts &ports)
{
    for (auto it = ports.second_names.cbegin(); it != ports.second_names.cend(); ++it) {
        if (!ledger.ports().contains(it.key()))
            continue;
        ledger.drop(it.key());
        writer.human(HumanText::tr("%1 is %2\n").arg(it.key(), it.value()));
        writer.event({{QStringLiteral("event"), QStringLiteral("port_merged")},
                      {QStringLiteral("port"), it.key()},
                      {QStringLiteral("into"), it.value()}});
    }
    for (const QString &port : ports.missing) {
        writer.log_line(port, port + messages::port_failed());
        end_port_outside_run({port, PortResult::failure, FailReason::no_such_port, wait.seconds_waited()});
    }
    const QStringList ready = ledger.open_ports();
    if (ready.isEmpty() || (!ports.missing.isEmpty() && !line.parallel && !line.keep_going)) {
        QCoreApplication::quit();
        return;
    }
    start_update(ready, ports.devices);
}

void HeadlessRun::start_update(const QStringList &ready, const QMap<QString, QString> &devices)
{
    RunRequest now = request;
    now.ports = ready;
    now.devices = devices;
    session = std::make_unique<RunSession>(now);
    report.watch(session.get());
    QObject::connect(session.get(), &RunSession::port_finished,
                     [this](const QString &port, PortResult result, FailReason reason, double seconds) {
                         end_port({port, result, reason, seconds});
                     });
    QObject::connect(session.get(), &RunEvents::finished, QCoreApplication::instance(),
                     &QCoreApplication::quit, Qt::QueuedConnection);
    session->start();
}

void HeadlessRun::on_signal()
{
    aborted = true;
    if (session && session->running()) {
        session->abort();
        return;
    }
    wait.stop();
    QCoreApplication::quit();
}

// Ports still open now end here: aborted after a signal, else skipped.
int HeadlessRun::finish()
{
    for (const QString &port : ledger.open_ports()) {
        if (aborted)
            end_port_outside_run({port, PortResult::failure, FailReason::aborted, wait.seconds_waited()});
        else
            end_port_outside_run({port, PortResult::skipped, FailReason::not_started, 0});
    }
    const bool history_told = report.history().finish();
    writer.summary(ledger, run_clock.elapsed() / 1000.0, aborted || !ledger.with_end("aborted").isEmpty());
    if (aborted || !ledger.with_end("aborted").isEmpty())
        return exit_aborted;
    if (!ledger.all_done() || writer.log_failed())
        return exit_failed;
    return history_told ? exit_records : exit_ok;
}

} // namespace

int list_ports(bool json)
{
    for (const PortDetails &port : list_serial_ports()) {
        if (json) {
            const QJsonObject object{{QStringLiteral("event"), QStringLiteral("port")},
                                     {QStringLiteral("name"), port.adapter.port_name},
                                     {QStringLiteral("device"), port.adapter.system_location},
                                     {QStringLiteral("by_id"), json_list(port.by_id)},
                                     {QStringLiteral("by_path"), json_list(port.by_path)},
                                     {QStringLiteral("description"), port.adapter.description},
                                     {QStringLiteral("manufacturer"), port.adapter.manufacturer},
                                     {QStringLiteral("serial_number"), port.adapter.serial_number},
                                     {QStringLiteral("vid_pid"), port.adapter.vid_pid}};
            put(stdout,
                QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
            continue;
        }
        QString text = port.adapter.system_location;
        for (const QString &link : port.by_id + port.by_path)
            text += QStringLiteral("\n  ") + link;
        QStringList details;
        const AdapterDetails &adapter = port.adapter;
        for (const QString &detail :
             {adapter.description, adapter.manufacturer, adapter.serial_number, adapter.vid_pid}) {
            if (!detail.isEmpty())
                details << detail;
        }
        if (!details.isEmpty())
            text += QStringLiteral("\n  ") + details.join(QStringLiteral(", "));
        put(stdout, text + QLatin1Char('\n'));
    }
    return exit_ok;
}

int run_headless(const CommandLine &line)
{
    const QFileInfo file(line.file);
    if (file.exists() && !file.isFile())
        return usage_error(HumanText::tr("%1 is not a regular file").arg(line.file));
    const RunPorts ports = resolve_run_ports(line.ports);
    if (!ports.unknown.isEmpty() && line.wait_port_seconds <= 0)
        return usage_error(HumanText::tr("port %1 is not among the system's ports").arg(ports.unknown));

    ReleaseApproval release;
    const std::shared_ptr<const Image> image = read_run_image(line, release);
    if (!image)
        return exit_usage;

    HeadlessRun run(line, ports, image, release);
    if (!run.start_log())
        return exit_usage;
    return run.exec();
}
