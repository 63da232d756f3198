#include "records/history_store.h"

#include "records/store_sql.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <functional>

using namespace store_sql;

namespace {

// SQLite waits this long for another writer's lock itself, and the store
// tries a busy statement again until the patience is spent.
constexpr int busy_timeout_ms = 5000;
constexpr int busy_patience_ms = 60000;

const char *const create_table = R"(CREATE TABLE IF NOT EXISTS history (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL,
  station TEXT NOT NULL, operator TEXT NOT NULL, tool_version TEXT NOT NULL,
  port TEXT NOT NULL, device TEXT NOT NULL, adapter_serial TEXT NOT NULL, adapter_vid_pid TEXT NOT NULL,
  module_id TEXT NOT NULL, image_path TEXT NOT NULL, image_size INTEGER NOT NULL, image_sha256 TEXT NOT NULL,
  result TEXT NOT NULL, reason TEXT NOT NULL, attempt INTEGER NOT NULL, seconds REAL NOT NULL,
  crc_mode TEXT NOT NULL, rate INTEGER NOT NULL, verified TEXT NOT NULL, version_reply TEXT NOT NULL))";

bool is_busy(const QSqlError &error)
{
    // SQLITE_BUSY and SQLITE_LOCKED
    return error.nativeErrorCode() == QLatin1String("5") || error.nativeErrorCode() == QLatin1String("6")
           || error.databaseText().contains(QLatin1String("locked"));
}

// Runs a prepared query, again while another process holds the database.
bool run_patiently(QSqlQuery &query, const std::function<bool()> &run)
{
    QElapsedTimer waited;
    waited.start();
    while (!run()) {
        if (!is_busy(query.lastError()) || waited.elapsed() > busy_patience_ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QString where_clause(const HistoryFilter &filter, QVariantList &values)
{
    QStringList terms;
    if (filter.pending)
        terms << QStringLiteral("id IN (SELECT id FROM pending)");
    if (!filter.since_utc.isEmpty()) {
        terms << QStringLiteral("ended_utc >= ?");
        values << filter.since_utc;
    }
    if (!filter.sha256_prefix.isEmpty()) {
        terms << QStringLiteral("substr(image_sha256, 1, %1) = ?").arg(filter.sha256_prefix.size());
        values << filter.sha256_prefix;
    }
    const std::pair<QString, QString> equal[] = {{QStringLiteral("port"), filter.port},
                                                 {QStringLiteral("result"), filter.result},
                                                 {QStringLiteral("module_id"), filter.module_id},
                                                 {QStringLiteral("station"), filter.station}};
    for (const auto &term : equal) {
        if (term.second.isEmpty())
            continue;
        terms << term.first + QStringLiteral(" = ?");
        values << term.second;
    }
    return terms.isEmpty() ? QString() : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

} // namespace

HistoryStore::HistoryStore(const QString &path)
    : is_central(false), file(path), connection(QStringLiteral("history-%1").arg(quintptr(this), 0, 16))
{}

HistoryStore::HistoryStore(const CentralUrl &central)
    : is_central(true), url(central), connection(QStringLiteral("central-%1").arg(quintptr(this), 0, 16))
{}

HistoryStore::~HistoryStore()
{
    close();
    QSqlDatabase::removeDatabase(connection);
}

void HistoryStore::close()
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (db.isOpen())
        db.close();
    opened = false;
}

QString HistoryStore::id_column() const
{
    return is_central ? QStringLiteral("local_id") : QStringLiteral("id");
}

QString HistoryStore::default_path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/tessik-update-tool/history.sqlite");
}

bool HistoryStore::fail(const QString &what, const QString &why)
{
    last_error = what + QStringLiteral(": ") + why.simplified();
    return false;
}

bool HistoryStore::exec(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!run_patiently(query, [&] { return query.exec(statement); }))
        return fail(statement.section(QLatin1Char(' '), 0, 2), query.lastError().text());
    return true;
}

bool HistoryStore::open()
{
    if (opened)
        return true;
    opened = is_central ? open_central() : open_local();
    return opened;
}

bool HistoryStore::open_local()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return fail(QStringLiteral("opening"),
                    QStringLiteral("Qt's SQLite driver is not installed (libqt5sql5-sqlite)"));
    const QFileInfo info(file);
    if (!QDir().mkpath(info.absolutePath()))
        return fail(QStringLiteral("opening"),
                    QStringLiteral("cannot create the folder ") + info.absolutePath());
    QSqlDatabase db = QSqlDatabase::contains(connection)
                          ? QSqlDatabase::database(connection, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(file);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busy_timeout_ms));
    if (!db.open())
        return fail(QStringLiteral("opening"), db.lastError().text());
    // A file that is not SQLite fails here, at its first read.
    QSqlQuery mode(db);
    if (!run_patiently(mode, [&] { return mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")); }))
        return fail(QStringLiteral("opening"), mode.lastError().text());
    // The pragma answers with a row; unread, it keeps a read transaction
    // open, and once another station has written, every write of this
    // connection is refused as busy however often it is tried.
    mode.finish();
    if (!exec(QString::fromLatin1(create_table))
        || !exec(QStringLiteral("CREATE TABLE IF NOT EXISTS pending (id INTEGER PRIMARY KEY)")))
        return false;
    for (const char *statement : index_statements) {
        if (!exec(QString::fromLatin1(statement)))
            return false;
    }
    return true;
}

bool HistoryStore::append(HistoryRow &row, bool pending)
{
    if (!open())
        return false;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const QStringList names = columns_without_id();
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO history (%1) VALUES (%2)")
                       .arg(names.join(QStringLiteral(", ")), placeholders(names.size())));
    for (const QString &name : names)
        insert.addBindValue(bound(history_value(row, name)));
    // The row and its place in the queue to the central database go in together.
    if (pending && !exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    if (!run_patiently(insert, [&] { return insert.exec(); })) {
        const QString why = insert.lastError().text();
        if (pending)
            exec(QStringLiteral("ROLLBACK"));
        return fail(QStringLiteral("writing a row"), why);
    }
    row.id = insert.lastInsertId().toLongLong();
    if (pending) {
        QSqlQuery queue(db);
        if (!queue.exec(QStringLiteral("INSERT INTO pending (id) VALUES (%1)").arg(row.id))) {
            const QString why = queue.lastError().text();
            exec(QStringLiteral("ROLLBACK"));
            return fail(QStringLiteral("writing a row"), why);
        }
        if (!exec(QStringLiteral("COMMIT"))) {
            exec(QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    return true;
}

bool HistoryStore::mark_sent(const QVector<qint64> &ids)
{
    if (ids.isEmpty())
        return true;
    if (!open())
        return false;
    QStringList list;
    for (const qint64 id : ids)
        list << QString::number(id);
    return exec(QStringLiteral("DELETE FROM pending WHERE id IN (%1)").arg(list.join(QLatin1Char(','))));
}

bool HistoryStore::run_select(QSqlQuery &select, const QString &sql, const QVariantList &values)
{
    select.setForwardOnly(true);
    select.prepare(sql);
    for (const QVariant &value : values)
        select.addBindValue(value);
    if (!run_patiently(select, [&] { return select.exec(); }))
        return fail(QStringLiteral("reading"), select.lastError().text());
    return true;
}

bool HistoryStore::rows(const HistoryFilter &filter, QVector<HistoryRow> &out)
{
    out.clear();
    if (!open())
        return false;
    QVariantList values;
    QStringList columns = history_columns();
    columns[0] = id_column();
    const QString order = filter.oldest_first
                              ? QStringLiteral(" ORDER BY %1").arg(id_column())
                              : QStringLiteral(" ORDER BY ended_utc DESC, %1 DESC").arg(id_column());
    QString sql = QStringLiteral("SELECT %1 FROM history").arg(columns.join(QStringLiteral(", ")))
                  + where_clause(filter, values) + order;
    if (filter.limit >= 0)
        sql += QStringLiteral(" LIMIT %1").arg(filter.limit);
    QSqlQuery select(QSqlDatabase::database(connection, false));
    if (!run_select(select, sql, values))
        return false;
    const QStringList names = history_columns();
    while (select.next()) {
        HistoryRow row;
        for (int i = 0; i < names.size(); ++i)
            set_history_value(row, names.at(i), select.value(i));
        out.append(row);
    }
    return true;
}

bool HistoryStore::stats(const HistoryFilter &filter, QVector<HistoryStats> &out)
{
    out.clear();
    if (!open())
        return false;
    QVariantList values;
    // A module known by its identity is one unit however often it was
    // flashed: its first attempt is its first pass, its last one its end.
    // Without an identity a unit is a port's run, from its attempt 1. A
    // module left as already_done is neither.
    const QString module_order = QStringLiteral(" OVER (PARTITION BY station, port, image_sha256, module_id, "
                                                "result = 'skipped' ORDER BY started_utc%1, %2)");
    const QString tried =
        QStringLiteral("SELECT station, port, image_sha256, image_path, result, seconds,"
                       " CASE WHEN result = 'skipped' THEN 0 WHEN module_id = '' THEN attempt"
                       " ELSE ROW_NUMBER()%1 END AS pass,"
                       " CASE WHEN result = 'skipped' THEN 0 WHEN module_id = '' THEN 1"
                       " ELSE ROW_NUMBER()%2 END AS from_last"
                       " FROM history")
            .arg(module_order.arg(QString(), id_column()),
                 module_order.arg(QStringLiteral(" DESC"), id_column() + QStringLiteral(" DESC")))
        + where_clause(filter, values);
    const QString sql =
        QStringLiteral("SELECT station, port, image_sha256, MAX(image_path),"
                       " SUM(CASE WHEN result <> 'skipped' THEN 1 ELSE 0 END),"
                       " SUM(CASE WHEN pass = 1 THEN 1 ELSE 0 END),"
                       " SUM(CASE WHEN result = 'ok' AND from_last = 1 THEN 1 ELSE 0 END),"
                       " SUM(CASE WHEN pass = 1 AND result = 'ok' THEN 1 ELSE 0 END),"
                       " AVG(CASE WHEN result <> 'skipped' THEN seconds END)"
                       " FROM (")
        + tried
        + QStringLiteral(
            ") AS tried GROUP BY station, port, image_sha256 ORDER BY station, port, image_sha256");
    QSqlQuery select(QSqlDatabase::database(connection, false));
    if (!run_select(select, sql, values))
        return false;
    while (select.next()) {
        out.append({select.value(0).toString(), select.value(1).toString(), select.value(2).toString(),
                    select.value(3).toString(), select.value(4).toLongLong(), select.value(5).toLongLong(),
                    select.value(6).toLongLong(), select.value(7).toLongLong(), select.value(8).toDouble()});
    }
    return true;
}
