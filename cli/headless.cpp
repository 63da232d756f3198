#include "cli/headless.h"

#include "cli/port_names.h"
#include "cli/watch.h"
#include "engine/image.h"
#include "engine/log_format.h"
#include "engine/messages.h"
#include "engine/update_run.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

void put(std::FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

#ifdef Q_OS_UNIX
int signal_pipe[2] = {-1, -1};
volatile sig_atomic_t signals_seen = 0;

void on_signal(int)
{
    if (++signals_seen > 1)
        _exit(exit_aborted);
    const char byte = 1;
    const ssize_t written = ::write(signal_pipe[1], &byte, 1);
    (void)written;
}
#endif

// Everything a run reports, as human text, JSON Lines and the log file.
class Reporter
{
public:
    Reporter(const CommandLine &line) : json(line.json)
    {
        if (!line.log_file.isEmpty()) {
            log_file.setFileName(line.log_file);
            if (!log_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
                put(stderr, QStringLiteral("tessik-update-tool: cannot write the log file %1: %2\n")
                                .arg(line.log_file, log_file.errorString()));
        }
    }

    void event(const QJsonObject &object)
    {
        if (json)
            put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    }

    // Human text: standard output, or standard error when JSON has it.
    void human(const QString &text) { put(json ? stderr : stdout, text); }

    void log_line(const QString &port, const QString &body)
    {
        const QString line = format_log_line(QDateTime::currentDateTime(), body);
        human(line);
        to_file(line);
        event({{QStringLiteral("event"), QStringLiteral("log")}, {QStringLiteral("port"), port},
               {QStringLiteral("text"), body}});
    }

    void to_file(const QString &text)
    {
        if (!log_file.isOpen())
            return;
        log_file.write(text.toUtf8());
        log_file.flush();
    }

private:
    bool json;
    QFile log_file;
};

QJsonArray json_list(const QStringList &items)
{
    return QJsonArray::fromStringList(items);
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
    if (line.watch)
        return run_watch(line);
    if (!line.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));

    const QFileInfo image(line.file);
    if (image.exists() && !image.isFile()) {
        put(stderr, QStringLiteral("tessik-update-tool: %1 is not a regular file\n\n").arg(line.file) + usage_text());
        return exit_usage;
    }
    // Two names of one device are one port.
    QStringList ports;
    QSet<QString> identities;
    QMap<QString, QString> devices;
    QStringList missing;
    for (const QString &argument : line.ports) {
        const NamedPort port = resolve_port(argument);
        if (identities.contains(port.identity))
            continue;
        identities.insert(port.identity);
        ports << port.label;
        devices.insert(port.label, port.device);
        const bool bare_name = !argument.startsWith(QLatin1Char('/'));
        if (!port.exists && bare_name && line.wait_port_seconds <= 0) {
            put(stderr, QStringLiteral("tessik-update-tool: port %1 is not among the system's ports\n\n").arg(argument)
                            + usage_text());
            return exit_usage;
        }
        if (!port.exists)
            missing << port.label;
    }
    if (ports.size() > UpdateRun::max_ports) {
        put(stderr, QStringLiteral("tessik-update-tool: at most eight ports\n\n") + usage_text());
        return exit_usage;
    }

    // Read once: every port and every attempt sends exactly these bytes.
    const ImageRead read = read_image(line.file);
    const QString image_problem = read.image ? (read.image->bytes.isEmpty() ? messages::image_empty(line.file) : QString())
                                             : read.message;
    if (!image_problem.isEmpty()) {
        put(stderr, QStringLiteral("tessik-update-tool: %1\n").arg(image_problem));
        return exit_usage;
    }
    const std::shared_ptr<const Image> image_bytes = read.image;

    Reporter report(line);
    QElapsedTimer run_clock;
    run_clock.start();
    const qint64 size = image_bytes->bytes.size();
    const QString sha = image_bytes->sha256_hex();
    report.event({{QStringLiteral("event"), QStringLiteral("run_start")},
                  {QStringLiteral("image"), line.file},
                  {QStringLiteral("bytes"), size},
                  {QStringLiteral("sha256"), sha},
                  {QStringLiteral("ports"), json_list(ports)},
                  {QStringLiteral("parallel"), line.parallel},
                  {QStringLiteral("version"), QCoreApplication::applicationVersion()}});
    report.to_file(QStringLiteral("# %1 %2: image %3, %4 bytes, sha256 %5, ports %6\n")
                       .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion(), line.file)
                       .arg(size)
                       .arg(sha, ports.join(QStringLiteral(", "))));

#ifdef Q_OS_UNIX
    if (::pipe(signal_pipe) == 0) {
        ::fcntl(signal_pipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(signal_pipe[1], F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif

    QVector<PortSummary> results;
    bool aborted = false;
    QScopedPointer<UpdateRun> run;

    auto start_run = [&](const QStringList &run_ports) {
        RunOptions options;
        options.parallel = line.parallel;
        options.keep_going = line.keep_going;
        options.retries = line.retries;
        options.devices = devices;
        options.update.explain_open_failure = true;
        options.update.image = image_bytes;
        run.reset(new UpdateRun(run_ports, line.file, options));
        QMap<QString, int> last_percent;
        QObject::connect(run.data(), &UpdateRun::port_started, [&](const QString &port, int attempt) {
            report.event({{QStringLiteral("event"), QStringLiteral("port_start")}, {QStringLiteral("port"), port},
                          {QStringLiteral("attempt"), attempt}});
        });
        QObject::connect(run.data(), &UpdateRun::log_line, [&](const QString &port, const QString &body) {
            report.log_line(port, body);
        });
        QObject::connect(run.data(), &UpdateRun::progress,
                         [&, last_percent](const QString &port, const QString &text, qint64 sent, qint64 total) mutable {
                             const int percent = total > 0 ? int(sent * 100 / total) : 100;
                             if (last_percent.value(port, -1) == percent)
                                 return;
                             last_percent[port] = percent;
                             report.human(port + QLatin1Char(' ') + text + QLatin1Char('\n'));
                             report.event({{QStringLiteral("event"), QStringLiteral("progress")},
                                           {QStringLiteral("port"), port}, {QStringLiteral("bytes"), sent},
                                           {QStringLiteral("total"), total}, {QStringLiteral("percent"), percent}});
                         });
        QObject::connect(run.data(), &UpdateRun::notice,
                         [&](const QString &, NoticeKind, const QString &title, const QString &text) {
                             put(stderr, title + QStringLiteral(": ") + text + QLatin1Char('\n'));
                         });
        QObject::connect(run.data(), &UpdateRun::rate_found, [&](const QString &port, int baud) {
            report.event({{QStringLiteral("event"), QStringLiteral("rate")}, {QStringLiteral("port"), port},
                          {QStringLiteral("baud"), baud}});
        });
        QObject::connect(run.data(), &UpdateRun::reset_needed, [&](const QString &port) {
            report.event({{QStringLiteral("event"), QStringLiteral("reset_needed")}, {QStringLiteral("port"), port}});
        });
        QObject::connect(run.data(), &UpdateRun::port_finished,
                         [&](const QString &port, PortResult result, FailReason reason, double seconds) {
                             results.append({port, result, reason, seconds});
                             report.event({{QStringLiteral("event"), QStringLiteral("port_end")},
                                           {QStringLiteral("port"), port},
                                           {QStringLiteral("result"), QString::fromLatin1(result_word(result))},
                                           {QStringLiteral("reason"), QString::fromLatin1(reason_code(reason))},
                                           {QStringLiteral("seconds"), seconds},
                                           {QStringLiteral("sha256"), result == PortResult::skipped ? QString() : sha}});
                         });
        QObject::connect(run.data(), &UpdateRun::finished, QCoreApplication::instance(), &QCoreApplication::quit,
                         Qt::QueuedConnection);
        run->start();
    };

#ifdef Q_OS_UNIX
    QSocketNotifier signal_notifier(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(&signal_notifier, &QSocketNotifier::activated, [&] {
        char byte;
        const ssize_t got = ::read(signal_pipe[0], &byte, 1);
        (void)got;
        aborted = true;
        if (run && run->running())
            run->abort();
        else
            QCoreApplication::quit();
    });
#endif
    QObject interrupt_context;
    on_console_interrupt(&interrupt_context, [&] {
        aborted = true;
        if (run && run->running())
            run->abort();
        else
            QCoreApplication::quit();
    }, exit_aborted);

    // Ports named before they exist are waited for, all at once.
    QElapsedTimer waited;
    waited.start();
    QTimer wait_tick;
    auto check_ports = [&] {
        for (auto it = missing.begin(); it != missing.end();) {
            const NamedPort port = resolve_port(*it);
            if (port.exists) {
                devices[*it] = port.device;
                it = missing.erase(it);
            } else {
                ++it;
            }
        }
        if (!missing.isEmpty() && waited.elapsed() < qint64(line.wait_port_seconds * 1000))
            return;
        wait_tick.stop();
        QStringList ready;
        for (const QString &port : ports) {
            if (!missing.contains(port))
                ready << port;
        }
        for (const QString &port : qAsConst(missing)) {
            results.append({port, PortResult::failure, FailReason::no_such_port, waited.elapsed() / 1000.0});
            report.log_line(port, port + QStringLiteral("对应设备升级失败"));
            report.event({{QStringLiteral("event"), QStringLiteral("port_end")}, {QStringLiteral("port"), port},
                          {QStringLiteral("result"), QStringLiteral("failed")},
                          {QStringLiteral("reason"), QStringLiteral("no_such_port")},
                          {QStringLiteral("seconds"), waited.elapsed() / 1000.0}});
        }
        const bool stop_here = !missing.isEmpty() && !line.parallel && !line.keep_going;
        if (ready.isEmpty() || stop_here) {
            for (const QString &port : qAsConst(ready)) {
                results.append({port, PortResult::skipped, FailReason::not_started, 0});
                report.event({{QStringLiteral("event"), QStringLiteral("port_end")}, {QStringLiteral("port"), port},
                              {QStringLiteral("result"), QStringLiteral("skipped")},
                              {QStringLiteral("reason"), QStringLiteral("not_started")},
                              {QStringLiteral("seconds"), 0}});
            }
            QCoreApplication::quit();
            return;
        }
        start_run(ready);
    };
    QObject::connect(&wait_tick, &QTimer::timeout, check_ports);
    if (missing.isEmpty() || line.wait_port_seconds <= 0)
        QTimer::singleShot(0, check_ports);
    else
        wait_tick.start(200);

    QCoreApplication::exec();
    run.reset();

    QStringList ok, failed, skipped;
    for (const PortSummary &result : qAsConst(results)) {
        if (result.result == PortResult::success)
            ok << result.port;
        else if (result.result == PortResult::failure)
            failed << result.port;
        else
            skipped << result.port;
    }
    const double seconds = run_clock.elapsed() / 1000.0;
    report.event({{QStringLiteral("event"), QStringLiteral("summary")},
                  {QStringLiteral("ok"), json_list(ok)},
                  {QStringLiteral("failed"), json_list(failed)},
                  {QStringLiteral("skipped"), json_list(skipped)},
                  {QStringLiteral("seconds"), seconds}});
    report.to_file(QStringLiteral("# summary: ok [%1], failed [%2], skipped [%3], %4 s\n")
                       .arg(ok.join(QStringLiteral(", ")), failed.join(QStringLiteral(", ")),
                            skipped.join(QStringLiteral(", ")))
                       .arg(seconds, 0, 'f', 1));
    if (aborted)
        return exit_aborted;
    return failed.isEmpty() && skipped.isEmpty() && ok.size() == ports.size() ? exit_ok : exit_failed;
}
