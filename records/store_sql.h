#pragma once

// What the local and the central store share: the columns written, the
// indexes made, how values are bound.

#include "records/history_filter.h"
#include "records/history_row.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace store_sql {

// " WHERE ..." of the filter (empty when it filters nothing), its values appended.
QString where_clause(const HistoryFilter &filter, QVariantList &values);

struct Index
{
    const char *name;
    const char *column;
};

inline const Index indexes[] = {
    {"history_ended", "ended_utc"},
    {"history_image", "image_sha256"},
    {"history_module", "module_id"},
};

inline QString create_index(const Index &index)
{
    return QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON history (%2)")
        .arg(QLatin1String(index.name), QLatin1String(index.column));
}

inline QStringList columns_without_id()
{
    QStringList names = history_columns();
    names.removeOne(QStringLiteral("id"));
    return names;
}

// Empty text is stored as '' (the columns are NOT NULL).
inline QVariant bound(const QVariant &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : value;
}

// "a = excluded.a, b = excluded.b, ...": an upsert's new values.
inline QString take_new_values(const QStringList &names)
{
    QStringList sets;
    for (const QString &name : names)
        sets << name + QStringLiteral(" = excluded.") + name;
    return sets.join(QStringLiteral(", "));
}

inline QString placeholders(int count)
{
    return QStringList(QVector<QString>(count, QStringLiteral("?")).toList()).join(QStringLiteral(", "));
}

} // namespace store_sql
