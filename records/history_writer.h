#pragma once

#include "records/central_url.h"
#include "records/history_row.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

class CentralSender;
class HistoryStore;
class QTimer;

// Writes history rows on a thread of its own, so that a port never waits
// for the database: record() only queues the row. The first row that
// cannot be written is reported once, through failed(); the rows after it
// are still tried. With a central database each row is committed locally
// first, then sent from the same thread; while the server cannot be
// reached the rows stay pending and are tried again now and then.
class HistoryWriter : public QObject
{
    Q_OBJECT

public:
    explicit HistoryWriter(const QString &path, const QString &central_db = QString(),
                           QObject *parent = nullptr);
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
    // Once: the central database could not take the rows (they stay pending).
    void central_failed(const QString &message);

private:
    void write(HistoryRow row);
    bool open_store();
    void send_to_central();

    const QString db_path;
    QThread thread;
    QObject *worker; // lives on the thread; the store is made there
    const CentralUrl central;
    const bool has_central;
    HistoryStore *store = nullptr;
    CentralSender *sender = nullptr;
    QTimer *retry = nullptr;
    bool central_told = false;
    mutable QMutex mutex;
    QString first_failure;
    int rows_written = 0;
};
