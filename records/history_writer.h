#pragma once

#include "records/history_row.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

class HistoryStore;

// Writes history rows on a thread of its own, so that a port never waits
// for the database: record() only queues the row. The first row that
// cannot be written is reported once, through failed(); the rows after it
// are still tried.
class HistoryWriter : public QObject
{
    Q_OBJECT

public:
    explicit HistoryWriter(const QString &path, QObject *parent = nullptr);
    ~HistoryWriter() override; // finish()

    void record(const HistoryRow &row);
    // Waits until every queued row is written or has failed.
    void finish();

    QString path() const { return db_path; }
    bool has_failed() const;
    // The message of the first failure; empty while none.
    QString failure() const;
    int written() const;

signals:
    // Once, from the writing thread: a message for the operator.
    void failed(const QString &message);

private:
    void write(HistoryRow row);

    const QString db_path;
    QThread thread;
    QObject *worker; // lives on the thread; the store is made there
    HistoryStore *store = nullptr;
    mutable QMutex mutex;
    QString first_failure;
    int rows_written = 0;
};
