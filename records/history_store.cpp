#include "records/history_store.h"

#include "records/store_sql.h"
#include "records/writer_lock.h"

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

QString create_table()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS history (id INTEGER PRIMARY KEY AUTOINCREMENT, %1, "
                          "uid TEXT NOT NULL, writer TEXT NOT NULL DEFAULT '')")
        .arg(history_data_columns_sql(SqlDialect::sqlite));
}

// Why a row was interrupted: its process ended during the attempt.
constexpr char interrupted_reason[] = "process_gone";

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

} // namespace

QString store_sql::where_clause(const HistoryFilter &filter, QVariantList &values)
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

HistoryStore::HistoryStore(const QString &path)
    : is_central(false), file(path), connection(QStringLiteral("history-%1").arg(quintptr(this), 0, 16))
{}

HistoryStore::HistoryStore(const CentralUrl &central, CentralLimits limits)
    : is_central(true), url(central), limits(limits),
      connection(QStringLiteral("central-%1").arg(quintptr(this), 0, 16))
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

bool HistoryStore::exec_bound(const QString &statement, const QVariantList &values)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!run_patiently(query, [&] { return query.exec(); }))
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
    if (!exec(create_table())
        || !exec(QStringLiteral("CREATE TABLE IF NOT EXISTS pending (id INTEGER PRIMARY KEY)"))
        || !migrate_local() || !add_later_columns()
        || !exec(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS history_uid ON history (uid)"))
        || !exec(QStringLiteral(
                     "CREATE INDEX IF NOT EXISTS history_started ON history (writer) WHERE result = '%1'")
                     .arg(QLatin1String(started_result))))
        return false;
    for (const Index &index : indexes) {
        if (!exec(create_index(index)))
            return false;
    }
    return true;
}

namespace {

// Runs body in one write transaction; a failure rolls it back.
bool in_transaction(const std::function<bool(const QString &)> &exec, const std::function<bool()> &body)
{
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    if (body() && exec(QStringLiteral("COMMIT")))
        return true;
    exec(QStringLiteral("ROLLBACK"));
    return false;
}

} // namespace

// A file written before the later columns gets them, empty in its rows.
bool HistoryStore::add_later_columns()
{
    QSqlQuery layout(QSqlDatabase::database(connection, false));
    if (!run_patiently(layout, [&] { return layout.exec(QStringLiteral("PRAGMA table_info(history)")); }))
        return fail(QStringLiteral("reading the table's layout"), layout.lastError().text());
    QStringList missing = later_text_columns();
    while (layout.next())
        missing.removeOne(layout.value(1).toString());
    layout.finish();
    for (const QString &column : missing) {
        // Another process may add it meanwhile: then the column is there, as wanted.
        if (!exec(QStringLiteral("ALTER TABLE history ADD COLUMN %1 TEXT NOT NULL DEFAULT ''").arg(column))
            && !has_column(column))
            return false;
    }
    return true;
}

bool HistoryStore::has_column(const QString &name)
{
    QSqlQuery layout(QSqlDatabase::database(connection, false));
    if (!run_patiently(layout, [&] { return layout.exec(QStringLiteral("PRAGMA table_info(history)")); }))
        return false;
    while (layout.next()) {
        if (layout.value(1).toString() == name)
            return true;
    }
    return false;
}

bool HistoryStore::has_uid_column(bool &has_uid)
{
    QSqlQuery columns(QSqlDatabase::database(connection, false));
    if (!run_patiently(columns, [&] { return columns.exec(QStringLiteral("PRAGMA table_info(history)")); }))
        return fail(QStringLiteral("reading the table's layout"), columns.lastError().text());
    has_uid = false;
    while (columns.next())
        has_uid = has_uid || columns.value(1).toString() == QLatin1String("uid");
    return true;
}

// A file of the layout before rows had a uid: every row gets the uid made
// of what identifies it, and is pending, since nothing tells which rows a
// server has (it keeps one row per uid, so one sent before stays one). A
// file of the current layout is not written to (it may be read-only).
bool HistoryStore::migrate_local()
{
    bool has_uid = false;
    if (!has_uid_column(has_uid))
        return false;
    if (has_uid)
        return true;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const auto run = [this](const QString &statement) { return exec(statement); };
    return in_transaction(run, [&] {
        if (!has_uid_column(has_uid)) // another process may have done it meanwhile
            return false;
        if (has_uid)
            return true;
        if (!exec(QStringLiteral("ALTER TABLE history ADD COLUMN uid TEXT NOT NULL DEFAULT ''"))
            || !exec(QStringLiteral("ALTER TABLE history ADD COLUMN writer TEXT NOT NULL DEFAULT ''")))
            return false;
        QSqlQuery old_rows(db);
        old_rows.setForwardOnly(true);
        if (!old_rows.exec(QStringLiteral("SELECT id, station, started_utc, ended_utc, port FROM history")))
            return fail(QStringLiteral("giving the rows their uid"), old_rows.lastError().text());
        QSqlQuery set_uid(db);
        set_uid.prepare(QStringLiteral("UPDATE history SET uid = ? WHERE id = ?"));
        while (old_rows.next()) {
            const qint64 id = old_rows.value(0).toLongLong();
            set_uid.addBindValue(older_row_uid(old_rows.value(1).toString(), id, old_rows.value(2).toString(),
                                               old_rows.value(3).toString(), old_rows.value(4).toString()));
            set_uid.addBindValue(id);
            if (!set_uid.exec())
                return fail(QStringLiteral("giving the rows their uid"), set_uid.lastError().text());
        }
        return exec(QStringLiteral("INSERT OR IGNORE INTO pending (id) SELECT id FROM history"));
    });
}

bool HistoryStore::append(HistoryRow &row, const QString &writer)
{
    if (!open())
        return false;
    if (row.uid.isEmpty())
        row.uid = new_row_uid();
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    // The row's own values, then its uid: an update first, so that the
    // row numbers of inserts stay without gaps (an upsert's update uses one).
    QStringList names = columns_without_id();
    names.removeOne(QStringLiteral("uid"));
    names << QStringLiteral("writer");
    QVariantList values;
    for (const QString &name : names)
        values << bound(name == QLatin1String("writer") ? QVariant(writer) : history_value(row, name));
    values << row.uid;
    QStringList sets;
    for (const QString &name : names)
        sets << name + QStringLiteral(" = ?");
    QSqlQuery update(db), insert(db), id(db);
    update.prepare(
        QStringLiteral("UPDATE history SET %1 WHERE uid = ?").arg(sets.join(QStringLiteral(", "))));
    insert.prepare(QStringLiteral("INSERT INTO history (%1, uid) VALUES (%2)")
                       .arg(names.join(QStringLiteral(", ")), placeholders(names.size() + 1)));
    id.prepare(QStringLiteral("SELECT id FROM history WHERE uid = ?"));
    for (const QVariant &value : values) {
        update.addBindValue(value);
        insert.addBindValue(value);
    }
    id.addBindValue(row.uid);
    const auto run = [this](const QString &statement) { return exec(statement); };
    // The row and its place in the queue to the central database go in together.
    return in_transaction(run, [&] {
        if (!update.exec() || (update.numRowsAffected() == 0 && !insert.exec()) || !id.exec() || !id.next())
            return fail(QStringLiteral("writing a row"),
                        update.lastError().text() + insert.lastError().text() + id.lastError().text());
        row.id = id.value(0).toLongLong();
        id.finish();
        return exec(QStringLiteral("INSERT OR IGNORE INTO pending (id) VALUES (%1)").arg(row.id));
    });
}

bool HistoryStore::interrupt_where(const QString &condition, const QVariantList &values)
{
    const QString started = QStringLiteral(" WHERE result = '%1' AND ").arg(QLatin1String(started_result));
    const auto run = [this](const QString &statement) { return exec(statement); };
    return in_transaction(run, [&] {
        return exec_bound(QStringLiteral("INSERT OR IGNORE INTO pending (id) SELECT id FROM history")
                              + started + condition,
                          values)
               && exec_bound(
                   QStringLiteral("UPDATE history SET result = '%1', reason = '%2'")
                           .arg(QLatin1String(interrupted_result), QLatin1String(interrupted_reason))
                       + started + condition,
                   values);
    });
}

bool HistoryStore::interrupt_rows_of(const QString &writer)
{
    return open() && interrupt_where(QStringLiteral("writer = ?"), {writer});
}

bool HistoryStore::settle_interrupted()
{
    if (is_central)
        return true;
    if (!open())
        return false;
    QSqlQuery writers(QSqlDatabase::database(connection, false));
    if (!run_select(writers,
                    QStringLiteral("SELECT DISTINCT writer FROM history WHERE result = '%1'")
                        .arg(QLatin1String(started_result)),
                    {}))
        return false;
    QStringList gone;
    while (writers.next()) {
        const QString writer = writers.value(0).toString();
        if (!WriterLock::is_alive(file, writer))
            gone << writer;
    }
    writers.finish();
    for (const QString &writer : qAsConst(gone)) {
        if (!interrupt_where(QStringLiteral("writer = ?"), {writer}))
            return false;
    }
    return true;
}

bool HistoryStore::mark_sent(const QVector<HistoryRow> &sent)
{
    if (sent.isEmpty())
        return true;
    if (!open())
        return false;
    QSqlQuery done(QSqlDatabase::database(connection, false));
    // A row written again since it was read (its attempt ended meanwhile) stays pending.
    done.prepare(QStringLiteral("DELETE FROM pending WHERE id = ? AND (SELECT result FROM history WHERE "
                                "history.id = pending.id) = ?"));
    const auto run = [this](const QString &statement) { return exec(statement); };
    return in_transaction(run, [&] {
        for (const HistoryRow &row : sent) {
            done.addBindValue(row.id);
            done.addBindValue(row.result);
            if (!done.exec())
                return fail(QStringLiteral("marking rows sent"), done.lastError().text());
        }
        return true;
    });
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
    // A file this reader may not write is still read, its rows as they are.
    settle_interrupted();
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
    settle_interrupted();
    QVariantList values;
    const QString tried = unit_rows(filter, values);
    const QString sql =
        QStringLiteral("SELECT station, port, image_sha256, MAX(image_path),"
                       " SUM(CASE WHEN result <> 'skipped' THEN 1 ELSE 0 END),"
                       " SUM(unit_start),"
                       " SUM(CASE WHEN result = 'ok' THEN unit_end ELSE 0 END),"
                       " SUM(first_pass),"
                       // The time of an attempt that ran, and ran to its end.
                       " AVG(CASE WHEN result NOT IN ('skipped', 'started', 'interrupted') THEN seconds END)"
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

QString HistoryStore::unit_rows(const HistoryFilter &filter, QVariantList &values) const
{
    // A module known by its identity is one unit however often it was
    // flashed: its first attempt is its first pass, its last one its end.
    // Without an identity a unit is a port's run of attempts 1, 2, ...: it
    // ends where the port's next attempt does not count on. A module left as
    // already_done is neither. Every unit has one start and one end among
    // the rows of the filter (a run cut by --since starts at its first row
    // there, and only an attempt 1 is a first pass). One window, so one sort.
    const QString window = QStringLiteral(" OVER (PARTITION BY station, port, image_sha256, module_id, "
                                          "result = 'skipped' ORDER BY started_utc, %1)")
                               .arg(id_column());
    const QString starts = QStringLiteral("CASE WHEN result = 'skipped' THEN 0 WHEN module_id = '' THEN"
                                          " CASE WHEN attempt = 1 OR LAG(attempt)%1 IS NULL"
                                          " OR LAG(attempt)%1 >= attempt THEN 1 ELSE 0 END"
                                          " WHEN LAG(attempt)%1 IS NULL THEN 1 ELSE 0 END")
                               .arg(window);
    const QString ends = QStringLiteral("CASE WHEN result = 'skipped' THEN 0 WHEN module_id = '' THEN"
                                        " CASE WHEN LEAD(attempt)%1 > attempt THEN 0 ELSE 1 END"
                                        " WHEN LEAD(attempt)%1 IS NULL THEN 1 ELSE 0 END")
                             .arg(window);
    return QStringLiteral("SELECT station, port, image_sha256, image_path, result, reason, seconds, started_utc,"
                          " %1 AS unit_start, %2 AS unit_end,"
                          " CASE WHEN result = 'ok' AND (module_id <> '' OR attempt = 1) THEN %1 ELSE 0 END"
                          " AS first_pass"
                          " FROM history")
               .arg(starts, ends)
           + where_clause(filter, values);
}
