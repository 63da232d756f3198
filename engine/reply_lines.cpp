#include "engine/reply_lines.h"

#include <QList>

namespace {

constexpr int line_limit = 128;

// The meaningful lines; the last, unterminated one only when complete.
QList<QByteArray> meaningful_lines(const QByteArray &reply, const QByteArray &command, bool complete)
{
    QByteArray text = reply;
    text.replace('\r', '\n');
    QList<QByteArray> lines = text.split('\n');
    if (!complete)
        lines.removeLast(); // not yet ended (empty when the reply ends with a line end)
    const QByteArray echo = command.trimmed();
    QList<QByteArray> kept;
    for (const QByteArray &line : qAsConst(lines)) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty() && trimmed != echo && trimmed != "OK")
            kept << trimmed.left(line_limit);
    }
    return kept;
}

} // namespace

bool holds_ok(const QByteArray &reply)
{
    return reply.contains("OK");
}

QByteArray meaningful_line(const QByteArray &reply, const QByteArray &command, bool complete, bool *found)
{
    const QList<QByteArray> lines = meaningful_lines(reply, command, complete);
    *found = !lines.isEmpty();
    return lines.value(0);
}

QByteArray meaningful_text(const QByteArray &reply, const QByteArray &command)
{
    return meaningful_lines(reply, command, true).join(' ').left(line_limit);
}
