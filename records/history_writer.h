#pragma once

#include "records/history_row.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <memory>

class CentralForwarder;
class HistoryStore;
class WriterLock;

// Writes history rows on a thread of its own, so that a port never waits
// for the database: record() only queues the row. A row recorded again
// with the same uid replaces it (the start of an attempt, then its end).
// The first row that cannot be written is reported once, through failed();
// the rows after it are still tried. With a central database the rows go
// out from a thread and a connection of their own (CentralForwarder): the
// local rows never wait behind the network.
class HistoryWriter : public QObject
{
    Q_OBJECT

public:
    explicit HistoryWriter(const QString &path, const QString &central_db = QString(),
                           QObject *parent = nullptr);
    ~HistoryWriter() override; // finish()

    void record(const HistoryRow &row);
    // Waits until every queued row is written or has failed; rows still
    // started become interrupted. Then the central database gets a few
    // seconds for the rows still pending.
    void finish();

    QString path() const { return db_path; }
    bool has_failed() const;
    // The message of the first failure; empty while none.
    QString failure() const;
    int written() const;

signals:
    // Once, from the writing thread: a message for the operator.
    void failed(const QString &message);
    // Once: the central database could not take the rows (they stay pending).
    void central_failed(const QString &message);

private:
    void write(HistoryRow row);
    bool open_store();
    void end_rows();

    const QString db_path;
    QThread thread;
    QObject *worker; // lives on the thread; the store and the lock are made there
    HistoryStore *store = nullptr;
    WriterLock *writer_lock = nullptr;
    std::unique_ptr<CentralForwarder> forwarder;
    mutable QMutex mutex;
    QString first_failure;
    int rows_written = 0;
};
