#include "cli/session_report.h"

#include "cli/command_line.h"
#include "cli/human_text.h"
#include "engine/log_format.h"
#include "engine/messages.h"
#include "records/done_lookup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>

namespace {

RunMode mode_of(const CommandLine &line)
{
    if (line.watch)
        return RunMode::fixture_loop;
    return line.parallel ? RunMode::parallel : RunMode::one_after_another;
}

RunContext context_of(const CommandLine &line, const RunRequest &request)
{
    return {line.records.resolved_station(),
            line.records.resolved_operator(),
            QCoreApplication::applicationVersion(),
            QFileInfo(line.file).absoluteFilePath(),
            request.image->bytes.size(),
            request.image->sha256_hex(),
            request.devices,
            request.release};
}

} // namespace

RunRequest request_of(const CommandLine &line, std::shared_ptr<const Image> image, const ReleaseApproval &release,
                      const QStringList &ports, const QMap<QString, QString> &devices)
{
    RunRequest request;
    request.release = release;
    request.mode = mode_of(line);
    request.ports = ports;
    request.devices = devices;
    request.image_path = line.file;
    request.image = std::move(image);
    request.checks = line.checks;
    if (line.skip_done)
        request.checks.already_done =
            done_lookup(line.records.resolved_db_path(), request.image->sha256_hex());
    request.retries = line.retries;
    request.keep_going = line.keep_going;
    request.count = line.count;
    request.gone_after_ms = qRound(line.gone_after_seconds * 1000);
    request.explain_open_failure = true;
    request.known_rate = line.baud;
    request.low_latency = line.records.low_latency;
    request.reset = line.reset;
    return request;
}

SessionReport::SessionReport(const CommandLine &line, const RunRequest &request, EventWriter &writer)
    : writer(writer), line(line), request(request)
{}

bool SessionReport::start_log()
{
    if (line.log_file.isEmpty())
        return true;
    const QString header =
        QStringLiteral("# %1 %2: image %3, %4 bytes, sha256 %5, %6ports %7\n")
            .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(), line.file,
                 QString::number(request.image->bytes.size()), request.image->sha256_hex(),
                 request.mode == RunMode::fixture_loop ? QStringLiteral("watching ") : QString(),
                 request.ports.join(QStringLiteral(", ")));
    const QString error = writer.start_log(line.log_file, header);
    if (error.isEmpty())
        return true;
    put(stderr, HumanText::tr("tessik-update-tool: cannot write the log file %1: %2\n").arg(line.log_file, error));
    return false;
}

void SessionReport::run_start(const QJsonObject &more)
{
    rows = std::make_unique<RunHistory>(line.records, context_of(line, request),
                                        [this](const QJsonObject &event) { writer.event(event); });
    QJsonObject fields{{QStringLiteral("image"), line.file},
                       {QStringLiteral("bytes"), request.image->bytes.size()},
                       {QStringLiteral("sha256"), request.image->sha256_hex()},
                       {QStringLiteral("ports"), QJsonArray::fromStringList(request.ports)},
                       {QStringLiteral("version"), QCoreApplication::applicationVersion()}};
    for (auto it = more.begin(); it != more.end(); ++it)
        fields.insert(it.key(), it.value());
    event(QStringLiteral("run_start"), fields);
}

void SessionReport::event(const QString &name, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), name);
    writer.event(fields);
}

void SessionReport::watch(RunSession *session)
{
    rows->recorder().watch(session);
    checks.watch(session);
    QObject::connect(session, &RunEvents::attempt_started, [this](const QString &port, int attempt) {
        event(QStringLiteral("port_start"),
              {{QStringLiteral("port"), port}, {QStringLiteral("attempt"), attempt}});
        sending.remove(port);
        writer.status(port, attempt > 1 ? HumanText::tr("attempt %1: looking for the module's rate").arg(attempt)
                                        : HumanText::tr("looking for the module's rate"));
    });
    QObject::connect(session, &RunEvents::log_line,
                     [this](const QString &port, const QString &body) { writer.log_line(port, body); });
    QObject::connect(session, &RunEvents::progress,
                     [this](const QString &port, const QString &text, qint64 sent, qint64 total) {
                         progress(port, text, sent, total);
                     });
    QObject::connect(session, &RunEvents::notice,
                     [](const QString &, NoticeKind, const QString &title, const QString &text) {
                         put(stderr, title + QStringLiteral(": ") + text + QLatin1Char('\n'));
                     });
    QObject::connect(session, &RunEvents::rate_found, [this](const QString &port, int baud) {
        event(QStringLiteral("rate"), {{QStringLiteral("port"), port}, {QStringLiteral("baud"), baud}});
        rates[port] = baud;
        writer.status(port, HumanText::tr("%1 baud: into the boot loader").arg(baud));
    });
    QObject::connect(session, &RunEvents::latency_known, [this](const QString &port, int ms, bool low) {
        event(QStringLiteral("latency"), {{QStringLiteral("port"), port},
                                          {QStringLiteral("latency_ms"), ms},
                                          {QStringLiteral("low_latency"), low}});
        if (ms <= slow_adapter_latency_ms || slow_adapters.contains(port))
            return;
        slow_adapters.insert(port);
        const QString warning = messages::slow_adapter(port, ms);
        writer.to_file(format_log_line(QDateTime::currentDateTime(), warning));
        put(stderr, warning + QLatin1Char('\n'));
    });
    QObject::connect(session, &RunEvents::resetting, [this](const QString &port, const QString &by) {
        event(QStringLiteral("resetting"), {{QStringLiteral("port"), port}, {QStringLiteral("by"), by}});
    });
    QObject::connect(session, &RunEvents::reset_needed, [this](const QString &port) {
        event(QStringLiteral("reset_needed"), {{QStringLiteral("port"), port}});
        rates.remove(port);
        writer.status(port, HumanText::tr("no answer at any rate: press the module's reset button (10 s)"));
    });
    QObject::connect(session, &RunSession::unit_started, [this](const QString &port, int unit, int total) {
        last_percent.remove(port);
        event(QStringLiteral("unit_start"), {{QStringLiteral("port"), port},
                                             {QStringLiteral("unit"), unit},
                                             {QStringLiteral("total"), total}});
        writer.human(HumanText::tr("%1 unit %2 (%3 in total): updating\n").arg(port).arg(unit).arg(total));
    });
    QObject::connect(session, &RunSession::unit_ended,
                     [this](const QString &port, int unit, int total, PortResult result, FailReason reason,
                            double s) { unit_ended(port, unit, total, result, reason, s); });
    QObject::connect(session, &RunSession::module_gone, [this](const QString &port) {
        writer.human(port + HumanText::tr(": module taken out, waiting for the next\n"));
    });
}

// At most once per percent and port: on a terminal the port's state line,
// elsewhere a line each time a tenth more is sent.
void SessionReport::progress(const QString &port, const QString &text, qint64 sent, qint64 total)
{
    const int percent = total > 0 ? int(sent * 100 / total) : 100;
    const int before = last_percent.value(port, -1);
    if (before == percent)
        return;
    last_percent[port] = percent;
    if (!sending.contains(port))
        sending[port].start();
    const double seconds = sending[port].elapsed() / 1000.0;
    const QString rate = rates.contains(port) ? HumanText::tr("%1 baud, ").arg(rates.value(port)) : QString();
    const QString speed = seconds > 0.5 ? HumanText::tr(", %1 kB/s").arg(sent / seconds / 1000, 0, 'f', 1) : QString();
    if (!writer.status(port, HumanText::tr("%1sending %2%%3").arg(rate).arg(percent).arg(speed))
        && (before < 0 || percent / 10 > before / 10 || percent == 100))
        writer.human(port + QLatin1Char(' ') + text + QLatin1Char('\n'));
    event(QStringLiteral("progress"), {{QStringLiteral("port"), port},
                                       {QStringLiteral("bytes"), sent},
                                       {QStringLiteral("total"), total},
                                       {QStringLiteral("percent"), percent}});
}

void SessionReport::unit_ended(const QString &port, int unit, int total, PortResult result, FailReason reason,
                               double s)
{
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
    // The log file's line stays in the sources' words, as its other lines.
    const char *const format = QT_TRANSLATE_NOOP("cli", "%1 unit %2 (%3 in total)%4: %5 (%6), %7 s");
    const char *const module = QT_TRANSLATE_NOOP("cli", " module ");
    const auto text = [&](const QString &format, const QString &module) {
        return format.arg(port, QString::number(unit), QString::number(total),
                          module_id.isEmpty() ? QString() : module + printable(module_id), word, code,
                          QString::number(s, 'f', 1));
    };
    const QString take_it_out = HumanText::tr("; take it out\n");
    writer.human(text(HumanText::tr(format), HumanText::tr(module)) + take_it_out);
    writer.to_file(QStringLiteral("# ") + text(QString::fromUtf8(format), QString::fromUtf8(module))
                   + QLatin1Char('\n'));
}
