#pragma once

#include "records/central_url.h"
#include "records/history_filter.h"
#include "records/history_row.h"

#include <QString>
#include <QVariantList>
#include <QVector>

// Per station, port and image: how its updates went.
struct HistoryStats
{
    QString station;
    QString port;
    QString image_sha256;
    QString image_path;  // the latest path the image was read from
    qint64 attempts = 0; // every try that started (skipped ports are none)
    // Modules tried: each identity once, else each port's run (its attempt 1).
    qint64 units = 0;
    qint64 units_ok = 0;      // whose last attempt was ok
    qint64 first_pass_ok = 0; // whose first attempt was ok
    double mean_seconds = 0;  // over the attempts
};

class QSqlQuery;

// The history database: the station's own, one SQLite file in WAL mode, or
// the central PostgreSQL database of every station. A store is used by the
// thread that made it (Qt's database connections are per thread). Several
// processes may write at once: a busy database is waited for (busy
// timeout, then further tries) rather than failed.
class HistoryStore
{
public:
    explicit HistoryStore(const QString &path);
    explicit HistoryStore(const CentralUrl &central);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens the database (creating the file, its folder, its tables when
    // missing; a central table of another layout is an error).
    bool open();
    // Appends the row and sets its id; pending: it is still to be sent to
    // the central database (local store only).
    bool append(HistoryRow &row, bool pending = false);
    // out holds exactly the rows that match (none on failure), newest first
    // unless the filter says otherwise: asked again, it is not added to.
    bool rows(const HistoryFilter &filter, QVector<HistoryRow> &out);
    bool stats(const HistoryFilter &filter, QVector<HistoryStats> &out);

    // Local store: the rows the central database confirmed are no longer pending.
    bool mark_sent(const QVector<qint64> &ids);
    // Central store: inserts the rows of a station in one transaction; a row
    // already there (same station and local id) is left as it is.
    bool insert_central(const QVector<HistoryRow> &rows);
    // Drops the connection; the next use opens it again.
    void close();

    bool central() const { return is_central; }
    bool is_open() const { return opened; }
    QString error() const { return last_error; }

    // $XDG_DATA_HOME/tessik-update-tool/history.sqlite
    static QString default_path();

private:
    bool exec(const QString &statement);
    bool fail(const QString &what, const QString &why);
    bool run_select(QSqlQuery &select, const QString &sql, const QVariantList &values);
    bool open_local();
    bool open_central();
    QString id_column() const;

    const bool is_central;
    const QString file;
    const CentralUrl url;
    const QString connection;
    QString last_error;
    bool opened = false;
};
