#include "records/history_store.h"

#include "records/store_sql.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

// The central database of every station (PostgreSQL); the local one is in
// history_store.cpp.

using namespace store_sql;

namespace {

// The central table: every station's rows, known by station and local id.
const char *const create_central_table = R"(CREATE TABLE IF NOT EXISTS history (
  id BIGSERIAL PRIMARY KEY, local_id BIGINT NOT NULL,
  started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL,
  station TEXT NOT NULL, operator TEXT NOT NULL, tool_version TEXT NOT NULL,
  port TEXT NOT NULL, device TEXT NOT NULL, adapter_serial TEXT NOT NULL, adapter_vid_pid TEXT NOT NULL,
  module_id TEXT NOT NULL, image_path TEXT NOT NULL, image_size BIGINT NOT NULL, image_sha256 TEXT NOT NULL,
  result TEXT NOT NULL, reason TEXT NOT NULL, attempt INTEGER NOT NULL, seconds DOUBLE PRECISION NOT NULL,
  crc_mode TEXT NOT NULL, rate INTEGER NOT NULL, verified TEXT NOT NULL, version_reply TEXT NOT NULL,
  UNIQUE (station, local_id)))";

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
    if (!db.open())
        return fail(QStringLiteral("connecting"), db.lastError().text());
    // Stations creating the table at the same moment may collide once.
    bool created = false;
    for (int tries = 0; tries < 3 && !created; ++tries)
        created = exec(QStringLiteral("SET client_min_messages = warning"))
                  && exec(QString::fromLatin1(create_central_table));
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
    if (!missing.isEmpty())
        return fail(QStringLiteral("opening"),
                    QStringLiteral("the central table history has an older layout: it lacks %1")
                        .arg(missing.join(QStringLiteral(", "))));
    bool indexed = false;
    for (int tries = 0; tries < 3 && !indexed; ++tries) {
        indexed = true;
        for (const char *statement : index_statements)
            indexed = indexed && exec(QString::fromLatin1(statement));
    }
    return indexed;
}

bool HistoryStore::insert_central(const QVector<HistoryRow> &rows)
{
    if (!open())
        return false;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const QStringList names = columns_without_id();
    if (!db.transaction())
        return fail(QStringLiteral("sending"), db.lastError().text());
    QSqlQuery insert(db);
    insert.prepare(
        QStringLiteral("INSERT INTO history (local_id, %1) VALUES (?, %2) ON CONFLICT (station, local_id) "
                       "DO NOTHING")
            .arg(names.join(QStringLiteral(", ")), placeholders(names.size())));
    for (const HistoryRow &row : rows) {
        insert.addBindValue(row.id);
        for (const QString &name : names)
            insert.addBindValue(bound(history_value(row, name)));
        if (!insert.exec()) {
            const QString why = insert.lastError().text();
            db.rollback();
            return fail(QStringLiteral("sending"), why);
        }
    }
    if (!db.commit())
        return fail(QStringLiteral("sending"), db.lastError().text());
    return true;
}
