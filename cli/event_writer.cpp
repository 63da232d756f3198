#include "cli/event_writer.h"

#include "engine/log_format.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

void put(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size())
        || std::fflush(stream) != 0)
        std::clearerr(stream); // the reader went away: this text is dropped, the run goes on
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
    put(stderr, QStringLiteral("tessik-update-tool: cannot write the log file %1: %2\n").arg(log_file.fileName(), error));
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
    put(json ? stderr : stdout, text);
}

void EventWriter::log_line(const QString &port, const QString &body)
{
    const QString line = format_log_line(QDateTime::currentDateTime(), body);
    human(line);
    to_file(line);
    event({{QStringLiteral("event"), QStringLiteral("log")}, {QStringLiteral("port"), port},
           {QStringLiteral("text"), body}});
}

void EventWriter::port_end(const PortSummary &end, const QString &sha256)
{
    event({{QStringLiteral("event"), QStringLiteral("port_end")},
           {QStringLiteral("port"), end.port},
           {QStringLiteral("result"), QString::fromLatin1(end_word(end))},
           {QStringLiteral("reason"), QString::fromLatin1(reason_code(end.reason))},
           {QStringLiteral("seconds"), end.seconds},
           {QStringLiteral("sha256"), sha256}});
}

void EventWriter::summary(const RunLedger &ledger, double seconds)
{
    QJsonObject object{{QStringLiteral("event"), QStringLiteral("summary")}};
    QStringList parts;
    for (const char *word : {"ok", "failed", "aborted", "skipped"}) {
        const QStringList ports = ledger.with_end(word);
        object.insert(QLatin1String(word), QJsonArray::fromStringList(ports));
        parts << QStringLiteral("%1 [%2]").arg(QLatin1String(word), ports.join(QStringLiteral(", ")));
    }
    object.insert(QStringLiteral("seconds"), seconds);
    to_file(QStringLiteral("# summary: %1, %2 s\n").arg(parts.join(QStringLiteral(", "))).arg(seconds, 0, 'f', 1));
    event(object);
}
