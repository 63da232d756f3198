#include "records/history_store.h"
#include "records/store_sql.h"
#include "records/yield_query.h"

#include <QSqlDatabase>
#include <QSqlQuery>

using namespace store_sql;

namespace {

// An attempt that ended and not well; an attempt that ran to its end.
const QString not_ok = QStringLiteral("('failed', 'aborted', 'interrupted')");
const QString ran = QStringLiteral("('ok', 'failed', 'aborted')");

QString count_where(const QString &condition)
{
    return QStringLiteral(" SUM(CASE WHEN %1 THEN 1 ELSE 0 END)").arg(condition);
}

} // namespace

bool HistoryStore::yield(const HistoryFilter &filter, int row_limit, YieldData &out)
{
    out = YieldData();
    if (!open())
        return false;
    settle_interrupted();
    QSqlQuery select(QSqlDatabase::database(connection, false));

    QVariantList values;
    const QString where = where_clause(filter, values);
    if (!run_select(select, QStringLiteral("SELECT COUNT(*), MIN(started_utc), MAX(ended_utc) FROM history") + where,
                    values))
        return false;
    if (select.next()) {
        out.rows_total = select.value(0).toLongLong();
        out.first_started_utc = select.value(1).toString();
        out.last_ended_utc = select.value(2).toString();
    }

    values.clear();
    const QString tried = unit_rows(filter, values);
    const QString cells =
        QStringLiteral("SELECT station, port, image_sha256, substr(started_utc, 1, 13) AS hour,")
        + count_where(QStringLiteral("result <> 'skipped'")) + QLatin1Char(',')
        + QStringLiteral(" SUM(unit_start), SUM(first_pass),")
        + count_where(QStringLiteral("unit_end = 1 AND result = 'ok'")) + QLatin1Char(',')
        + count_where(QStringLiteral("unit_end = 1 AND result IN ") + not_ok) + QLatin1Char(',')
        + count_where(QStringLiteral("result = 'skipped'")) + QLatin1Char(',')
        + count_where(QStringLiteral("result = 'interrupted'")) + QLatin1Char(',')
        + QStringLiteral(" SUM(CASE WHEN result IN %1 THEN seconds ELSE 0 END),").arg(ran)
        + count_where(QStringLiteral("result IN ") + ran) + QStringLiteral(" FROM (") + tried
        + QStringLiteral(") AS tried GROUP BY station, port, image_sha256, substr(started_utc, 1, 13)"
                         " ORDER BY station, port, image_sha256, hour");
    if (!run_select(select, cells, values))
        return false;
    while (select.next()) {
        YieldCell cell{select.value(0).toString(), select.value(1).toString(), select.value(2).toString(),
                       select.value(3).toString()};
        qint64 *const counts[] = {&cell.attempts,     &cell.units,   &cell.first_pass_ok,
                                  &cell.units_ok,     &cell.units_failed, &cell.skipped,
                                  &cell.interrupted};
        for (int i = 0; i < 7; ++i)
            *counts[i] = select.value(4 + i).toLongLong();
        cell.seconds = select.value(11).toDouble();
        cell.timed = select.value(12).toLongLong();
        out.cells.append(cell);
    }

    values.clear();
    const QString reasons = QStringLiteral("SELECT reason, COUNT(*) FROM (SELECT reason, result FROM history")
                            + where_clause(filter, values)
                            + QStringLiteral(") AS ended WHERE result IN %1 GROUP BY reason"
                                             " ORDER BY COUNT(*) DESC, reason")
                                  .arg(not_ok);
    if (!run_select(select, reasons, values))
        return false;
    while (select.next())
        out.reasons.append({select.value(0).toString(), select.value(1).toLongLong()});

    values.clear();
    const QString images = QStringLiteral("SELECT image_sha256, MAX(image_path), MAX(version_reply), MAX(release)"
                                          " FROM history")
                           + where_clause(filter, values)
                           + QStringLiteral(" GROUP BY image_sha256 ORDER BY image_sha256");
    if (!run_select(select, images, values))
        return false;
    while (select.next()) {
        out.images.append({select.value(0).toString(), select.value(1).toString(), select.value(2).toString(),
                           select.value(3).toString()});
    }
    select.finish();

    HistoryFilter newest = filter;
    newest.oldest_first = false;
    newest.limit = row_limit;
    return rows(newest, out.rows);
}
