#pragma once

// What the local and the central store share: the columns written, the
// indexes made, how values are bound.

#include "records/history_row.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace store_sql {

inline const char *const index_statements[] = {
    "CREATE INDEX IF NOT EXISTS history_ended ON history (ended_utc)",
    "CREATE INDEX IF NOT EXISTS history_image ON history (image_sha256)",
    "CREATE INDEX IF NOT EXISTS history_module ON history (module_id)",
};

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

inline QString placeholders(int count)
{
    return QStringList(QVector<QString>(count, QStringLiteral("?")).toList()).join(QStringLiteral(", "));
}

} // namespace store_sql
