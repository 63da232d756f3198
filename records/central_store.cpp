#include "records/history_store.h"

#include "records/store_sql.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// The central database of every station (PostgreSQL); the local one is in
// history_store.cpp.

using namespace store_sql;

namespace {

// The central table: every station's rows, known by their uid; local_id is
// the row's id in its station's database.
QString create_central_table()
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS history (id BIGSERIAL PRIMARY KEY, uid TEXT NOT NULL, "
                          "local_id BIGINT NOT NULL, %1, CONSTRAINT history_uid_key UNIQUE (uid))")
        .arg(history_data_columns_sql(SqlDialect::postgresql));
}

// Every call on the central connection is bounded: connecting by libpq's
// connect_timeout (CentralUrl's default), each statement by the session's
// statement_timeout (CentralLimits), and a link gone silent by TCP keepalives and
// tcp_user_timeout (TCP only; a Unix socket cannot go silent that way).
const char *const silent_link_bounds =
    "keepalives=1 keepalives_idle=2 keepalives_interval=1 keepalives_count=2 tcp_user_timeout=3000";

// The uid that older_row_uid() gives a row of the layout before uids.
const char *const older_uid_sql =
    "md5(station || chr(31) || local_id::text || chr(31) || started_utc || chr(31) "
    "|| ended_utc || chr(31) || port)::uuid::text";

} // namespace

bool HistoryStore::open_central()
{
    if (!url.valid())
        return fail(QStringLiteral("opening"), url.error);
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
#ifdef Q_OS_WIN
        return fail(QStringLiteral("opening"),
                    QStringLiteral("the Windows program has no PostgreSQL driver: a central database needs the "
                                   "Linux program"));
#else
        return fail(QStringLiteral("opening"),
                    QStringLiteral("Qt's PostgreSQL driver is not installed (libqt5sql5-psql)"));
#endif
    QSqlDatabase db = QSqlDatabase::contains(connection)
                          ? QSqlDatabase::database(connection, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    url.configure(db);
    // Before the string's own settings: an operator's setting wins.
    db.setConnectOptions(QString::fromLatin1(silent_link_bounds) + QLatin1Char(' ') + url.driver_options());
    if (!db.open())
        return fail(QStringLiteral("connecting"), db.lastError().text());
    // Stations creating the table at the same moment may collide once.
    bool created = false;
    for (int tries = 0; tries < 3 && !created; ++tries)
        created = exec(QStringLiteral("SET client_min_messages = warning"))
                  && exec(QStringLiteral("SET statement_timeout = %1").arg(limits.statement_ms))
                  && exec(create_central_table());
    if (!created)
        return false;
    QSqlQuery columns(db);
    if (!columns.exec(
            QStringLiteral("SELECT column_name FROM information_schema.columns WHERE table_name = 'history' "
                           "AND table_schema = current_schema()")))
        return fail(QStringLiteral("reading the table's layout"), columns.lastError().text());
    QStringList missing = columns_without_id() << QStringLiteral("local_id");
    while (columns.next())
        missing.removeOne(columns.value(0).toString());
    for (const QString &column : later_text_columns()) {
        if (missing.removeOne(column)
            && !exec(QStringLiteral("ALTER TABLE history ADD COLUMN IF NOT EXISTS %1 TEXT NOT NULL DEFAULT ''")
                         .arg(column)))
            return false;
    }
    if (missing == QStringList{QStringLiteral("uid")}) {
        if (!migrate_central())
            return false;
    } else if (!missing.isEmpty()) {
        return fail(QStringLiteral("opening"),
                    QStringLiteral("the central table history has an older layout: it lacks %1")
                        .arg(missing.join(QStringLiteral(", "))));
    }
    // Only the indexes missing are made: making one waits for every lock on the table.
    QSqlQuery present(db);
    if (!present.exec(QStringLiteral("SELECT indexname FROM pg_indexes WHERE tablename = 'history' AND "
                                     "schemaname = current_schema()")))
        return fail(QStringLiteral("reading the table's layout"), present.lastError().text());
    QStringList names;
    while (present.next())
        names << present.value(0).toString();
    for (const Index &index : indexes) {
        bool made = names.contains(QLatin1String(index.name));
        for (int tries = 0; tries < 3 && !made; ++tries)
            made = exec(create_index(index));
        if (!made)
            return false;
    }
    return true;
}

// A table of the layout before uids, unique on (station, local_id), in one transaction:
// each row keeps everything and gets the uid its station's migrated file
// gives it too, and the uid becomes what is unique. The first station to
// connect does it; the others find it done once they get the table.
bool HistoryStore::migrate_central()
{
    const QString what = QStringLiteral("bringing the central table up to date");
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.transaction())
        return fail(what, db.lastError().text());
    QSqlQuery step(db);
    auto run = [&](const QString &statement) {
        if (step.exec(statement))
            return true;
        const QString why = step.lastError().text();
        db.rollback();
        return fail(what, why + QStringLiteral(" (tessik-update-tool --sync gives it longer)"));
    };
    if (!run(QStringLiteral("SET LOCAL statement_timeout = %1").arg(limits.migration_ms)))
        return false;
    if (!run(QStringLiteral("LOCK TABLE history IN ACCESS EXCLUSIVE MODE"))
        || !run(QStringLiteral("SELECT 1 FROM information_schema.columns WHERE table_name = 'history' AND "
                               "table_schema = current_schema() AND column_name = 'uid'")))
        return false;
    const bool done_meanwhile = step.next();
    step.finish();
    if (!done_meanwhile) {
        const QString steps[] = {
            QStringLiteral("ALTER TABLE history ADD COLUMN uid TEXT"),
            QStringLiteral("UPDATE history SET uid = %1").arg(QLatin1String(older_uid_sql)),
            QStringLiteral("ALTER TABLE history ALTER COLUMN uid SET NOT NULL"),
            QStringLiteral("ALTER TABLE history DROP CONSTRAINT IF EXISTS history_station_local_id_key"),
            QStringLiteral("ALTER TABLE history ADD CONSTRAINT history_uid_key UNIQUE (uid)"),
        };
        for (const QString &statement : steps) {
            if (!run(statement))
                return false;
        }
    }
    return db.commit() || fail(what, db.lastError().text());
}

bool HistoryStore::connection_lost() const
{
    return opened && !QSqlDatabase::database(connection, false).isOpen();
}

bool HistoryStore::insert_central(const QVector<HistoryRow> &rows)
{
    if (rows.isEmpty())
        return true;
    if (!open())
        return false;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const QStringList names = QStringList{QStringLiteral("local_id")} + columns_without_id();
    QStringList changed = names;
    changed.removeOne(QStringLiteral("uid"));
    QStringList values;
    for (int i = 0; i < rows.size(); ++i)
        values << QLatin1Char('(') + placeholders(names.size()) + QLatin1Char(')');
    QSqlQuery insert(db);
    insert.prepare(
        QStringLiteral("INSERT INTO history AS kept (%1) VALUES %2 ON CONFLICT (uid) DO UPDATE SET %3 "
                       "WHERE kept.result IN ('%4', '%5')")
            .arg(names.join(QStringLiteral(", ")), values.join(QStringLiteral(", ")),
                 take_new_values(changed), QLatin1String(started_result), QLatin1String(interrupted_result)));
    for (const HistoryRow &row : rows) {
        insert.addBindValue(row.id);
        for (const QString &name : columns_without_id())
            insert.addBindValue(bound(history_value(row, name)));
    }
    if (!insert.exec())
        return fail(QStringLiteral("sending"), insert.lastError().text());
    return true;
}
