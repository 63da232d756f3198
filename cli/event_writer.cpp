#include "cli/event_writer.h"

#include "cli/human_text.h"
#include "engine/log_format.h"
#include "platform/console.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

EventWriter::EventWriter(bool json, bool quiet)
    : json(json), quiet(quiet), human_stream(json ? stderr : stdout)
{
    if (!quiet && stream_is_terminal(human_stream))
        live_lines = std::make_unique<LiveLines>(human_stream);
}

QString EventWriter::start_log(const QString &path, const QString &header)
{
    log_file.setFileName(path);
    // A device (a terminal, /dev/full) cannot be appended to, only written.
    const bool device = log_file.exists() && !QFileInfo(path).isFile();
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Text | (device ? QIODevice::NotOpen : QIODevice::Append);
    if (!log_file.open(mode) || !write_log(header)) {
        log_broken = true;
        return log_file.errorString();
    }
    return QString();
}

bool EventWriter::write_log(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return log_file.write(bytes) == bytes.size() && log_file.flush();
}

void EventWriter::to_file(const QString &text)
{
    if (!log_file.isOpen() || log_broken || write_log(text))
        return;
    log_broken = true;
    const QString error = log_file.errorString();
    put(stderr, HumanText::tr("tessik-update-tool: cannot write the log file %1: %2\n").arg(log_file.fileName(), error));
    event({{QStringLiteral("event"), QStringLiteral("log_error")}, {QStringLiteral("file"), log_file.fileName()},
           {QStringLiteral("error"), error}});
}

void EventWriter::event(const QJsonObject &object)
{
    if (json)
        put(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}

void EventWriter::human(const QString &text)
{
    if (!quiet)
        tell(text);
}

void EventWriter::tell(const QString &text)
{
    if (live_lines)
        live_lines->print(text);
    else
        put(human_stream, text);
}

bool EventWriter::status(const QString &port, const QString &text)
{
    if (live_lines)
        live_lines->set(port, text);
    return live();
}

void EventWriter::log_line(const QString &port, const QString &body)
{
    const QString line = format_log_line(QDateTime::currentDateTime(), body);
    human(line);
    to_file(line);
    event({{QStringLiteral("event"), QStringLiteral("log")}, {QStringLiteral("port"), port},
           {QStringLiteral("text"), body}});
}

void EventWriter::port_end(const PortSummary &end, const QString &sha256, const QJsonObject &more)
{
    QJsonObject object{{QStringLiteral("event"), QStringLiteral("port_end")},
                       {QStringLiteral("port"), end.port},
                       {QStringLiteral("result"), QString::fromLatin1(end_word(end))},
                       {QStringLiteral("reason"), QString::fromLatin1(reason_code(end.reason))},
                       {QStringLiteral("seconds"), end.seconds},
                       {QStringLiteral("sha256"), sha256}};
    for (auto it = more.begin(); it != more.end(); ++it)
        object.insert(it.key(), it.value());
    event(object);
    const QString word = QString::fromLatin1(end_word(end));
    const QString code = QString::fromLatin1(reason_code(end.reason));
    status(end.port, end.reason == FailReason::ok ? word : word + QStringLiteral(" (") + code + QLatin1Char(')'));
    if (end.result != PortResult::failure)
        return;
    const char *hint = reason_hint(end.reason);
    tell(QStringLiteral("%1 %2: %3 (%4)%5\n")
             .arg(end.port, word, QCoreApplication::translate("outcome", reason_meaning(end.reason)), code,
                  *hint ? QStringLiteral("; ") + QCoreApplication::translate("outcome", hint) : QString()));
}

void EventWriter::summary(const RunLedger &ledger, double seconds, bool aborted)
{
    QJsonObject object{{QStringLiteral("event"), QStringLiteral("summary")}};
    QStringList parts, said;
    for (const char *word : {"ok", "failed", "aborted", "skipped"}) {
        const QStringList ports = ledger.with_end(word);
        object.insert(QLatin1String(word), QJsonArray::fromStringList(ports));
        parts << QStringLiteral("%1 [%2]").arg(QLatin1String(word), ports.join(QStringLiteral(", ")));
        QStringList named;
        for (const PortSummary &end : ledger.all_ends()) {
            const QString code = QString::fromLatin1(reason_code(end.reason));
            if (QLatin1String(end_word(end)) == QLatin1String(word))
                named << (code == QLatin1String(word) ? end.port : end.port + QStringLiteral(" (") + code + QLatin1Char(')'));
        }
        if (!ports.isEmpty())
            said << QString::number(ports.size()) + QLatin1Char(' ') + QLatin1String(word)
                        + (QLatin1String(word) == QLatin1String("ok") ? QString()
                                                                       : QStringLiteral(": ") + named.join(QStringLiteral(", ")));
    }
    if (live_lines)
        live_lines->leave();
    tell((aborted ? HumanText::tr("aborted: ") : QString()) + said.join(QStringLiteral(", ")) + QLatin1Char('\n'));
    object.insert(QStringLiteral("seconds"), seconds);
    to_file(QStringLiteral("# summary: %1, %2 s\n").arg(parts.join(QStringLiteral(", "))).arg(seconds, 0, 'f', 1));
    event(object);
}
