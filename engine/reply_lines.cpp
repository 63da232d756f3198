#include "engine/reply_lines.h"

#include <algorithm>
#include <utility>

namespace {

constexpr int line_limit = 128;

// The trimmed lines; the last, unterminated one only when complete.
QList<QByteArray> trimmed_lines(const QByteArray &reply, bool complete)
{
    QByteArray text = reply;
    text.replace('\r', '\n');
    QList<QByteArray> lines = text.split('\n');
    if (!complete)
        lines.removeLast(); // not yet ended (empty when the reply ends with a line end)
    for (QByteArray &line : lines)
        line = line.trimmed();
    return lines;
}

// The meaningful lines; the last, unterminated one only when complete.
QList<QByteArray> meaningful_lines(const QByteArray &reply, const QByteArray &command, bool complete)
{
    const QByteArray echo = command.trimmed();
    QList<QByteArray> kept;
    for (const QByteArray &line : trimmed_lines(reply, complete)) {
        if (!line.isEmpty() && line != echo && line != "OK")
            kept << line.left(line_limit);
    }
    return kept;
}

bool is_word_separator(char c)
{
    return QByteArray(" \t\r\n\f\v:,;=()\"'").contains(c);
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

bool is_at_status(const QByteArray &line)
{
    const QByteArray upper = line.trimmed().toUpper();
    return upper == "OK" || upper == "ERROR" || upper.startsWith("+CME ERROR")
           || upper.startsWith("+CMS ERROR");
}

bool reply_ended(const QByteArray &reply)
{
    const QList<QByteArray> lines = trimmed_lines(reply, false);
    return std::any_of(lines.begin(), lines.end(), is_at_status);
}

IdReply classify_id_reply(const QByteArray &line, const QRegularExpression &pattern)
{
    if (line.trimmed().isEmpty())
        return IdReply::empty;
    if (is_at_status(line))
        return IdReply::at_status;
    if (!pattern.pattern().isEmpty() && !pattern.match(QString::fromUtf8(line)).hasMatch())
        return IdReply::unmatched;
    return IdReply::identity;
}

QList<QByteArray> reply_words(const QByteArray &text)
{
    QList<QByteArray> words;
    QByteArray word;
    for (const char c : text) {
        if (!is_word_separator(c)) {
            word += c;
            continue;
        }
        if (!word.isEmpty())
            words << std::exchange(word, QByteArray());
    }
    if (!word.isEmpty())
        words << word;
    return words;
}

QList<QByteArray> reply_words(const QByteArray &reply, const QByteArray &command, bool complete)
{
    return reply_words(meaningful_lines(reply, command, complete).join('\n'));
}

QVersionNumber dotted_version(const QByteArray &word)
{
    // The whole word must be the number ("2.4.1-rc1" or "v2" is none). Not
    // by fromString()'s suffix index: Qt 5 declares it pure, and an
    // optimising compiler drops what it writes there.
    const QRegularExpression dotted(QStringLiteral("\\A[0-9]+(\\.[0-9]+)*\\z"));
    const QString text = QString::fromLatin1(word);
    return dotted.match(text).hasMatch() ? QVersionNumber::fromString(text) : QVersionNumber();
}

QVersionNumber version_in(const QList<QByteArray> &words)
{
    for (const QByteArray &word : words) {
        const QVersionNumber version = dotted_version(word);
        if (!version.isNull())
            return version;
    }
    return {};
}

bool version_accepted(const QList<QByteArray> &words, const QByteArray &expected,
                      const QVersionNumber &minimum)
{
    const QList<QByteArray> wanted = reply_words(expected);
    if (!expected.isEmpty()
        && (wanted.isEmpty()
            || std::search(words.begin(), words.end(), wanted.begin(), wanted.end()) == words.end()))
        return false;
    if (minimum.isNull())
        return true;
    const QVersionNumber found = version_in(words);
    return !found.isNull() && QVersionNumber::compare(found.normalized(), minimum.normalized()) >= 0;
}
