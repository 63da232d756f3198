#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariant>

// One attempt at one port, as the history keeps it. Times are UTC,
// "yyyy-MM-ddTHH:mm:ss.zzzZ", so that text order is time order.
struct HistoryRow
{
    qint64 id = 0; // given by the database
    QString started_utc;
    QString ended_utc;
    QString station;
    QString operator_name; // the column `operator`
    QString tool_version;
    QString port;
    QString device;
    QString adapter_serial;
    QString adapter_vid_pid;
    QString module_id; // the module's answer to its identity command, once one is asked
    QString image_path;
    qint64 image_size = 0;
    QString image_sha256;
    QString result;  // ok, failed, aborted, skipped; started, interrupted (its process gone first)
    QString reason;  // reason_code() of the port's end
    int attempt = 0; // 1 for the first try of a port; 0 for a port never tried
    double seconds = 0;
    QString crc_mode;      // crc16 or checksum, once the sender reports it
    int rate = 0;          // the application's rate the scan found; 0 if none
    QString verified;      // transfer, boot or version: how far the port's end was proven
    QString version_reply; // the new application's answer to the version command
    // The signed release that allowed the image (with a trusted key): the
    // key's id, the manifest's release and its trusted comment.
    QString release_key;
    QString release;
    QString release_comment;
    QString adapter_latency_ms; // the adapter's latency timer once the port opened; empty: unknown
    QString reset_by;      // line, command or operator: what reset a dead application; empty: no reset
    QString uid;           // the row's identity in every database: a UUID made when it is written first
};

// Text columns added after the first layout: a database without them gets
// them, empty in its older rows.
QStringList later_text_columns();

// The result of a row whose attempt runs, and of one whose process ended
// before the attempt did (killed, crashed, the power lost).
constexpr char started_result[] = "started";
constexpr char interrupted_result[] = "interrupted";

// A new row's uid: a random UUID, as text without braces.
QString new_row_uid();
// The uid of a row written before rows had one: a UUID made of the row's
// station, number in its database, times and port, the same wherever it is
// computed (the central store makes it with md5() in SQL).
QString older_row_uid(const QString &station, qint64 local_id, const QString &started_utc,
                      const QString &ended_utc, const QString &port);

// The columns, in table order; the names are those of the database, the
// JSON objects and the CSV header.
QStringList history_columns();

enum class SqlDialect { sqlite, postgresql };

// The definitions of every column but id and uid, in table order, for a
// CREATE TABLE of either database: the columns are written once, here.
QString history_data_columns_sql(SqlDialect dialect);

// The row's value of a column (by its name above).
QVariant history_value(const HistoryRow &row, const QString &column);
void set_history_value(HistoryRow &row, const QString &column, const QVariant &value);

QJsonObject history_json(const HistoryRow &row);

// "yyyy-MM-ddTHH:mm:ss.zzzZ" of a moment.
QString utc_text(const QDateTime &moment);
