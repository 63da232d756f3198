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
struct YieldData;

// How long each statement on a central connection may take (milliseconds):
// a station's sending never waits long; a question asked by hand may.
struct CentralLimits
{
    int statement_ms = 3000;
    int migration_ms = 3000; // bringing a table of the layout before uids up to date
};

// The history database: the station's own, one SQLite file in WAL mode, or
// the central PostgreSQL database of every station. A store is used by the
// thread that made it (Qt's database connections are per thread). Several
// processes may write at once: a busy database is waited for (busy
// timeout, then further tries) rather than failed.
class HistoryStore
{
public:
    explicit HistoryStore(const QString &path);
    explicit HistoryStore(const CentralUrl &central, CentralLimits limits = {});
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens the database (creating the file, its folder, its tables when
    // missing; a table of the layout before uids is brought up to date, one
    // of another layout is an error).
    bool open();
    // Local store: writes the row, or the row of the same uid again (an
    // attempt's end completes the row of its start), and sets its id and,
    // when it had none, its uid. writer: the WriterLock id of the process,
    // for a row that is started. Each change is pending: still to be sent to
    // a central database, until one confirmed it.
    bool append(HistoryRow &row, const QString &writer = QString());
    // out holds exactly the rows that match (none on failure), newest first
    // unless the filter says otherwise: asked again, it is not added to.
    bool rows(const HistoryFilter &filter, QVector<HistoryRow> &out);
    bool stats(const HistoryFilter &filter, QVector<HistoryStats> &out);
    // What a yield report shows, counted by the database (yield_query.h):
    // out.rows holds the newest row_limit rows of the filter.
    bool yield(const HistoryFilter &filter, int row_limit, YieldData &out);

    // Local store: the rows started by writers that are gone become
    // interrupted (and pending again). rows() and stats() do it first.
    bool settle_interrupted();
    // Local store: the rows of this writer still started become interrupted
    // (its process ends with an attempt open).
    bool interrupt_rows_of(const QString &writer);
    // Local store: the rows the central database confirmed are no longer
    // pending, unless they changed since they were read.
    bool mark_sent(const QVector<HistoryRow> &sent);
    // Central store: inserts the rows in one statement; a row already there
    // (the same uid) is replaced only while it is started or interrupted.
    bool insert_central(const QVector<HistoryRow> &rows);
    // Drops the connection; the next use opens it again.
    void close();
    // Central store: the server dropped the open connection (it was restarted).
    bool connection_lost() const;

    bool central() const { return is_central; }
    bool is_open() const { return opened; }
    QString error() const { return last_error; }

    // $XDG_DATA_HOME/tessik-update-tool/history.sqlite
    static QString default_path();

private:
    bool exec(const QString &statement);
    bool exec_bound(const QString &statement, const QVariantList &values);
    bool fail(const QString &what, const QString &why);
    bool run_select(QSqlQuery &select, const QString &sql, const QVariantList &values);
    bool open_local();
    bool has_uid_column(bool &has_uid);
    bool migrate_local();
    bool add_later_columns();
    bool has_column(const QString &name);
    bool open_central();
    bool migrate_central();
    bool interrupt_where(const QString &condition, const QVariantList &values);
    QString id_column() const;
    // Every row of the filter with its unit's place: unit_start 1 for a
    // unit's first row, unit_end 1 for its last, first_pass 1 for a first
    // attempt that was ok; all 0 for a skipped module.
    QString unit_rows(const HistoryFilter &filter, QVariantList &values) const;

    const bool is_central;
    const QString file;
    const CentralUrl url;
    const CentralLimits limits;
    const QString connection;
    QString last_error;
    bool opened = false;
};
