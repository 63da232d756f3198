#include "records/history_filter.h"

#include "records/history_row.h"

#include <QDateTime>
#include <QRegularExpression>

namespace {

bool all_hex(const QString &text)
{
    for (const QChar c : text) {
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            return false;
    }
    return true;
}

} // namespace

// A date is that day's local midnight; a date-time without a zone is local
// time; "Z" or an offset say otherwise.
bool parse_since(const QString &text, HistoryFilter &filter, QString &error)
{
    const QString trimmed = text.trimmed();
    QDateTime moment;
    if (QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$")).match(trimmed).hasMatch()) {
        const QDate day = QDate::fromString(trimmed, Qt::ISODate);
        if (day.isValid())
            moment = QDateTime(day, QTime(0, 0), Qt::LocalTime);
    } else if (QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}[T ]\\d{2}:\\d{2}"))
                   .match(trimmed)
                   .hasMatch()) {
        QString iso = trimmed;
        iso[10] = QLatin1Char('T');
        moment = QDateTime::fromString(iso, Qt::ISODateWithMs);
    }
    if (!moment.isValid()) {
        error = QStringLiteral("--since needs an ISO date or date-time (2026-03-01, 2026-03-01T08:00, "
                               "2026-03-01T08:00:00Z), not \"%1\"")
                    .arg(text);
        return false;
    }
    filter.since_utc = utc_text(moment);
    return true;
}

bool parse_sha256_prefix(const QString &text, HistoryFilter &filter, QString &error)
{
    if (text.isEmpty() || text.size() > 64 || !all_hex(text)) {
        error =
            QStringLiteral("--sha256 needs 1 to 64 hex digits of an image's SHA-256, not \"%1\"").arg(text);
        return false;
    }
    filter.sha256_prefix = text.toLower();
    return true;
}

bool parse_result(const QString &text, HistoryFilter &filter, QString &error)
{
    const QStringList words = {QStringLiteral("ok"),      QStringLiteral("failed"),
                               QStringLiteral("aborted"), QStringLiteral("skipped"),
                               QStringLiteral("started"), QStringLiteral("interrupted")};
    if (!words.contains(text)) {
        error = QStringLiteral("--result needs one of %1, not \"%2\"")
                    .arg(words.join(QStringLiteral(", ")), text);
        return false;
    }
    filter.result = text;
    return true;
}

bool parse_limit(const QString &text, HistoryFilter &filter, QString &error)
{
    bool ok = false;
    const int limit = text.toInt(&ok);
    if (!ok || limit < 1) {
        error = QStringLiteral("--limit needs a whole number of 1 or more, not \"%1\"").arg(text);
        return false;
    }
    filter.limit = limit;
    return true;
}

bool is_sha256(const QString &text)
{
    return text.size() == 64 && all_hex(text);
}
