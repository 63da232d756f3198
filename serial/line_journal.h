#pragma once

#include <QFile>
#include <QtGlobal>
#include <memory>

// For the simulated module's strict line: a pseudo-terminal has no clock, so
// the module cannot tell from when it reads a byte which rate the byte went
// out at. When TESSIK_LINE_JOURNAL names a file, the port appends its own
// account of the line to it, one record a line, times in nanoseconds of the
// monotonic clock:
//   "w <time> <count>"  count bytes reached the driver at time (taken before the write)
//   "r <time> <baud>"   the rate is about to change (taken after any wait for the line)
// The module places the bytes in this order and time; what it reads only
// tells it that they arrived.
class LineJournal
{
public:
    // Null unless TESSIK_LINE_JOURNAL is set and the file can be appended to.
    static std::unique_ptr<LineJournal> from_environment();

    static qint64 now_ns();
    void wrote(qint64 at_ns, qint64 count);
    void rate(qint32 baud);

private:
    void append(const QByteArray &record);

    QFile file;
};
