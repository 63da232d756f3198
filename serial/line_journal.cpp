#include "serial/line_journal.h"

#include <chrono>

std::unique_ptr<LineJournal> LineJournal::from_environment()
{
    const QString path = qEnvironmentVariable("TESSIK_LINE_JOURNAL");
    if (path.isEmpty())
        return nullptr;
    auto journal = std::make_unique<LineJournal>();
    journal->file.setFileName(path);
    // Unbuffered: each record is one append, there before the next write or rate change.
    if (!journal->file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return nullptr;
    return journal;
}

qint64 LineJournal::now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LineJournal::wrote(qint64 at_ns, qint64 count)
{
    if (count > 0)
        append("w " + QByteArray::number(at_ns) + ' ' + QByteArray::number(count) + '\n');
}

void LineJournal::rate(qint32 baud)
{
    append("r " + QByteArray::number(now_ns()) + ' ' + QByteArray::number(baud) + '\n');
}

void LineJournal::append(const QByteArray &record)
{
    file.write(record);
}
