#pragma once

#include "records/history_filter.h"
#include "records/history_row.h"

#include <QString>
#include <QVector>

// Per station, port and image: how its updates went.
struct HistoryStats
{
    QString station;
    QString port;
    QString image_sha256;
    QString image_path; // the latest path the image was read from
    qint64 attempts = 0; // every try that started (skipped ports are none)
    qint64 units = 0;    // ports that were tried: rows of attempt 1
    qint64 units_ok = 0;
    qint64 first_pass_ok = 0; // ok on attempt 1
    double mean_seconds = 0;  // over the attempts
};

// The history database, one SQLite file in WAL mode. A store is used by
// the thread that made it (Qt's database connections are per thread).
// Several processes may write at once: a busy database is waited for
// (busy timeout, then further tries) rather than failed.
class HistoryStore
{
public:
    explicit HistoryStore(const QString &path);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens the file (creating it, its folder and its table when missing).
    bool open();
    // Appends the row and sets its id.
    bool append(HistoryRow &row);
    // Newest first.
    bool rows(const HistoryFilter &filter, QVector<HistoryRow> &out);
    bool stats(const HistoryFilter &filter, QVector<HistoryStats> &out);

    QString path() const { return file; }
    QString error() const { return last_error; }

    // $XDG_DATA_HOME/tessik-update-tool/history.sqlite
    static QString default_path();

private:
    bool exec(const QString &statement);
    bool fail(const QString &what, const QString &why);

    const QString file;
    const QString connection;
    QString last_error;
    bool opened = false;
};
