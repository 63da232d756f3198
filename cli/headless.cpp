#include "cli/headless.h"

#include "cli/check_events.h"
#include "cli/event_writer.h"
#include "cli/port_names.h"
#include "cli/run_history.h"
#include "cli/run_ports.h"
#include "cli/run_image.h"
#include "cli/run_signals.h"
#include "engine/image.h"
#include "engine/update_run.h"
#include "platform/platform.h"
#include "records/done_lookup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <memory>

namespace {

QJsonArray json_list(const QStringList &items)
{
    return QJsonArray::fromStringList(items);
}

int usage_error(const QString &message)
{
    put(stderr, QStringLiteral("tessik-update-tool: %1\n\n").arg(message) + usage_text());
    return exit_usage;
}

// One run of the command line: the header, waiting for ports, the update,
// the summary. Every port of the run ends once, through end_port().
class HeadlessRun
{
public:
    HeadlessRun(const CommandLine &line, const RunPorts &ports, std::shared_ptr<const Image> image)
        : line(line), writer(line.json), ledger(ports.labels), devices(ports.devices),
          wait(ports.labels, ports.missing.isEmpty() ? 0 : line.wait_port_seconds), image(std::move(image)),
          image_size(this->image->bytes.size()), image_sha(this->image->sha256_hex())
    {
        run_clock.start();
    }

    // The log file's header is written before any port is touched; an
    // empty text when it was.
    QString start_log();
    int exec();

private:
    QString header() const;
    void emit_run_start();
    void ports_ready(const RunPorts &ports);
    void start_update(const QStringList &ready);
    void connect_run(UpdateRun &run);
    void on_signal();
    void start_history();
    void end_port(const PortSummary &end);
    void end_port_outside_run(const PortSummary &end);
    int finish();

    const CommandLine &line;
    EventWriter writer;
    RunLedger ledger;
    QMap<QString, QString> devices;
    PortWait wait;
    QElapsedTimer run_clock;
    // Read once: every port and every attempt sends exactly these bytes.
    const std::shared_ptr<const Image> image;
    const qint64 image_size;
    const QString image_sha;
    // Every port's end is a history row, written by a thread of its own.
    std::unique_ptr<RunHistory> history;
    std::unique_ptr<UpdateRun> run;
    bool aborted = false;
    CheckEvents checks{[this](const QJsonObject &event) { writer.event(event); }};
};

QString HeadlessRun::header() const
{
    return QStringLiteral("# %1 %2: image %3, %4 bytes, sha256 %5, ports %6\n")
        .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(), line.file)
        .arg(image_size)
        .arg(image_sha, ledger.ports().join(QStringLiteral(", ")));
}

QString HeadlessRun::start_log()
{
    return line.log_file.isEmpty() ? QString() : writer.start_log(line.log_file, header());
}

void HeadlessRun::emit_run_start()
{
    writer.event({{QStringLiteral("event"), QStringLiteral("run_start")},
                  {QStringLiteral("image"), line.file},
                  {QStringLiteral("bytes"), image_size},
                  {QStringLiteral("sha256"), image_sha},
                  {QStringLiteral("ports"), json_list(ledger.ports())},
                  {QStringLiteral("parallel"), line.parallel},
                  {QStringLiteral("version"), QCoreApplication::applicationVersion()}});
}

int HeadlessRun::exec()
{
    // Before the first event: a reader gone at once must not end the run.
    RunSignals signal_handling([this] { on_signal(); });
    start_history();
    emit_run_start();
    wait.done = [this](const RunPorts &ports) { ports_ready(ports); };
    wait.start();
    QCoreApplication::exec();
    run.reset();
    return finish();
}

void HeadlessRun::start_history()
{
    const RunContext context{line.records.resolved_station(),
                             line.records.resolved_operator(),
                             QCoreApplication::applicationVersion(),
                             QFileInfo(line.file).absoluteFilePath(),
                             image_size,
                             image_sha,
                             devices};
    history = std::make_unique<RunHistory>(line.records, context,
                                           [this](const QJsonObject &event) { writer.event(event); });
}

void HeadlessRun::end_port(const PortSummary &end)
{
    if (ledger.end(end))
        writer.port_end(end, end.result == PortResult::skipped ? QString() : image_sha, checks.fields(end.port));
}

// A port that the run itself did not end (never found, never started,
// stopped while waiting): its row is written here.
void HeadlessRun::end_port_outside_run(const PortSummary &end)
{
    if (ledger.ended(end.port))
        return;
    end_port(end);
    history->recorder().record_end(end.port, end.result == PortResult::skipped ? 0 : 1, end.result, end.reason, end.seconds);
}

// Ports named before they existed are resolved again now: one that turned
// out to be a second name of another leaves the run.
void HeadlessRun::ports_ready(const RunPorts &ports)
{
    for (auto it = ports.second_names.cbegin(); it != ports.second_names.cend(); ++it) {
        if (!ledger.ports().contains(it.key()))
            continue;
        ledger.drop(it.key());
        writer.human(QStringLiteral("%1 is %2\n").arg(it.key(), it.value()));
        writer.event({{QStringLiteral("event"), QStringLiteral("port_merged")}, {QStringLiteral("port"), it.key()},
                      {QStringLiteral("into"), it.value()}});
    }
    devices = ports.devices;
    for (const QString &port : ports.missing) {
        writer.log_line(port, port + QStringLiteral("对应设备升级失败"));
        end_port_outside_run({port, PortResult::failure, FailReason::no_such_port, wait.seconds_waited()});
    }
    const QStringList ready = ledger.open_ports();
    if (ready.isEmpty() || (!ports.missing.isEmpty() && !line.parallel && !line.keep_going)) {
        QCoreApplication::quit();
        return;
    }
    start_update(ready);
}

void HeadlessRun::start_update(const QStringList &ready)
{
    RunOptions options;
    options.parallel = line.parallel;
    options.keep_going = line.keep_going;
    options.retries = line.retries;
    options.devices = devices;
    options.update.explain_open_failure = true;
    options.update.image = image;
    options.update.checks = line.checks;
    if (line.skip_done)
        options.update.checks.already_done = done_lookup(line.records.resolved_db_path(), image_sha);
    run = std::make_unique<UpdateRun>(ready, line.file, options);
    history->recorder().watch(run.get());
    checks.watch(run.get());
    connect_run(*run);
    QObject::connect(run.get(), &UpdateRun::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    run->start();
}

void HeadlessRun::connect_run(UpdateRun &update)
{
    auto last_percent = std::make_shared<QMap<QString, int>>();
    QObject::connect(&update, &UpdateRun::attempt_started, [this](const QString &port, int attempt) {
        writer.event({{QStringLiteral("event"), QStringLiteral("port_start")}, {QStringLiteral("port"), port},
                      {QStringLiteral("attempt"), attempt}});
    });
    QObject::connect(&update, &UpdateRun::log_line,
                     [this](const QString &port, const QString &body) { writer.log_line(port, body); });
    QObject::connect(&update, &UpdateRun::progress,
                     [this, last_percent](const QString &port, const QString &text, qint64 sent, qint64 total) {
                         const int percent = total > 0 ? int(sent * 100 / total) : 100;
                         if (last_percent->value(port, -1) == percent)
                             return;
                         last_percent->insert(port, percent);
                         writer.human(port + QLatin1Char(' ') + text + QLatin1Char('\n'));
                         writer.event({{QStringLiteral("event"), QStringLiteral("progress")},
                                       {QStringLiteral("port"), port}, {QStringLiteral("bytes"), sent},
                                       {QStringLiteral("total"), total}, {QStringLiteral("percent"), percent}});
                     });
    QObject::connect(&update, &UpdateRun::notice, [](const QString &, NoticeKind, const QString &title, const QString &text) {
        put(stderr, title + QStringLiteral(": ") + text + QLatin1Char('\n'));
    });
    QObject::connect(&update, &UpdateRun::rate_found, [this](const QString &port, int baud) {
        writer.event({{QStringLiteral("event"), QStringLiteral("rate")}, {QStringLiteral("port"), port},
                      {QStringLiteral("baud"), baud}});
    });
    QObject::connect(&update, &UpdateRun::reset_needed, [this](const QString &port) {
        writer.event({{QStringLiteral("event"), QStringLiteral("reset_needed")}, {QStringLiteral("port"), port}});
    });
    QObject::connect(&update, &UpdateRun::port_finished,
                     [this](const QString &port, PortResult result, FailReason reason, double seconds) {
                         end_port({port, result, reason, seconds});
                     });
}

void HeadlessRun::on_signal()
{
    aborted = true;
    if (run && run->running()) {
        run->abort();
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
    const bool history_told = history->finish();
    writer.summary(ledger, run_clock.elapsed() / 1000.0);
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
            put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
            continue;
        }
        QString text = port.adapter.system_location;
        for (const QString &link : port.by_id + port.by_path)
            text += QStringLiteral("\n  ") + link;
        QStringList details;
        const AdapterDetails &adapter = port.adapter;
        for (const QString &detail : {adapter.description, adapter.manufacturer, adapter.serial_number, adapter.vid_pid}) {
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
        return usage_error(QStringLiteral("%1 is not a regular file").arg(line.file));
    const RunPorts ports = resolve_run_ports(line.ports);
    if (!ports.unknown.isEmpty() && line.wait_port_seconds <= 0)
        return usage_error(QStringLiteral("port %1 is not among the system's ports").arg(ports.unknown));

    const std::shared_ptr<const Image> image = read_run_image(line);
    if (!image)
        return exit_usage;

    HeadlessRun run(line, ports, image);
    const QString log_error = run.start_log();
    if (!log_error.isEmpty()) {
        put(stderr, QStringLiteral("tessik-update-tool: cannot write the log file %1: %2\n").arg(line.log_file, log_error));
        return exit_usage;
    }
    return run.exec();
}
