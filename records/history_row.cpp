#include "records/history_row.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QUuid>

namespace {

enum class Kind { text, integer, real };

struct Column
{
    const char *name;
    Kind kind;
    QString HistoryRow::*text;
    qint64 HistoryRow::*big;
    int HistoryRow::*small;
    double HistoryRow::*real;
};

constexpr Column text_column(const char *name, QString HistoryRow::*field)
{
    return {name, Kind::text, field, nullptr, nullptr, nullptr};
}

const Column columns[] = {
    {"id", Kind::integer, nullptr, &HistoryRow::id, nullptr, nullptr},
    text_column("started_utc", &HistoryRow::started_utc),
    text_column("ended_utc", &HistoryRow::ended_utc),
    text_column("station", &HistoryRow::station),
    text_column("operator", &HistoryRow::operator_name),
    text_column("tool_version", &HistoryRow::tool_version),
    text_column("port", &HistoryRow::port),
    text_column("device", &HistoryRow::device),
    text_column("adapter_serial", &HistoryRow::adapter_serial),
    text_column("adapter_vid_pid", &HistoryRow::adapter_vid_pid),
    text_column("module_id", &HistoryRow::module_id),
    text_column("image_path", &HistoryRow::image_path),
    {"image_size", Kind::integer, nullptr, &HistoryRow::image_size, nullptr, nullptr},
    text_column("image_sha256", &HistoryRow::image_sha256),
    text_column("result", &HistoryRow::result),
    text_column("reason", &HistoryRow::reason),
    {"attempt", Kind::integer, nullptr, nullptr, &HistoryRow::attempt, nullptr},
    {"seconds", Kind::real, nullptr, nullptr, nullptr, &HistoryRow::seconds},
    text_column("crc_mode", &HistoryRow::crc_mode),
    {"rate", Kind::integer, nullptr, nullptr, &HistoryRow::rate, nullptr},
    text_column("verified", &HistoryRow::verified),
    text_column("version_reply", &HistoryRow::version_reply),
    text_column("release_key", &HistoryRow::release_key),
    text_column("release", &HistoryRow::release),
    text_column("release_comment", &HistoryRow::release_comment),
    text_column("adapter_latency_ms", &HistoryRow::adapter_latency_ms),
    text_column("reset_by", &HistoryRow::reset_by),
    text_column("uid", &HistoryRow::uid),
};

const Column *find_column(const QString &name)
{
    for (const Column &column : columns) {
        if (name == QLatin1String(column.name))
            return &column;
    }
    return nullptr;
}

} // namespace

QString history_data_columns_sql(SqlDialect dialect)
{
    const bool postgres = dialect == SqlDialect::postgresql;
    QStringList definitions;
    for (const Column &column : columns) {
        const QLatin1String name(column.name);
        if (name == QLatin1String("id") || name == QLatin1String("uid"))
            continue;
        const char *type = column.kind == Kind::text ? "TEXT"
                           : column.kind == Kind::real ? (postgres ? "DOUBLE PRECISION" : "REAL")
                           : column.big && postgres    ? "BIGINT"
                                                       : "INTEGER";
        definitions << QStringLiteral("%1 %2 NOT NULL").arg(name, QLatin1String(type));
    }
    return definitions.join(QStringLiteral(", "));
}

QStringList later_text_columns()
{
    return {QStringLiteral("release_key"), QStringLiteral("release"), QStringLiteral("release_comment"),
            QStringLiteral("adapter_latency_ms"), QStringLiteral("reset_by")};
}

QStringList history_columns()
{
    QStringList names;
    for (const Column &column : columns)
        names << QString::fromLatin1(column.name);
    return names;
}

QVariant history_value(const HistoryRow &row, const QString &name)
{
    const Column *column = find_column(name);
    if (!column)
        return QVariant();
    switch (column->kind) {
    case Kind::text:
        return row.*(column->text);
    case Kind::integer:
        return column->big ? row.*(column->big) : qint64(row.*(column->small));
    case Kind::real:
        return row.*(column->real);
    }
    return QVariant();
}

void set_history_value(HistoryRow &row, const QString &name, const QVariant &value)
{
    const Column *column = find_column(name);
    if (!column)
        return;
    switch (column->kind) {
    case Kind::text:
        row.*(column->text) = value.toString();
        break;
    case Kind::integer:
        if (column->big)
            row.*(column->big) = value.toLongLong();
        else
            row.*(column->small) = value.toInt();
        break;
    case Kind::real:
        row.*(column->real) = value.toDouble();
        break;
    }
}

QJsonObject history_json(const HistoryRow &row)
{
    QJsonObject object;
    for (const QString &name : history_columns())
        object.insert(name, QJsonValue::fromVariant(history_value(row, name)));
    return object;
}

QString utc_text(const QDateTime &moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QLatin1Char('Z');
}

QString new_row_uid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString older_row_uid(const QString &station, qint64 local_id, const QString &started_utc,
                      const QString &ended_utc, const QString &port)
{
    const QChar unit(0x1f);
    const QString identity =
        QStringList{station, QString::number(local_id), started_utc, ended_utc, port}.join(unit);
    const QByteArray md5 = QCryptographicHash::hash(identity.toUtf8(), QCryptographicHash::Md5);
    return QUuid::fromRfc4122(md5).toString(QUuid::WithoutBraces);
}
