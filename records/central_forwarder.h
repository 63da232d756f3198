#pragma once

#include "records/central_url.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>

class CentralSender;
class HistoryStore;
class QTimer;

// Sends a station's pending rows to the central database on a thread and a
// connection of their own, so that the local history never waits for the
// network. While the server cannot take them the rows stay pending, are
// tried again every 15 s, and that is told once. Every call on the
// connection is bounded (HistoryStore), so stop() is too.
class CentralForwarder : public QObject
{
    Q_OBJECT

public:
    CentralForwarder(const QString &db_path, const QString &central_db, QObject *parent = nullptr);
    ~CentralForwarder() override; // stop()

    // Rows were written: they go out soon. From any thread.
    void rows_waiting();
    // Sends what is pending for at most a few seconds (not at all while
    // the server is failing), then ends the thread.
    void stop();

signals:
    // Once, from the sending thread: a message for the operator.
    void failed(const QString &message);

private:
    void send();
    bool may_go_on() const;

    const QString db_path;
    const CentralUrl central;
    QThread thread;
    QObject *worker; // lives on the thread; what follows is made and used there
    HistoryStore *local = nullptr;
    CentralSender *sender = nullptr;
    QTimer *retry = nullptr;
    bool failing = false;
    bool told = false;
    std::atomic<bool> send_queued{false};
    std::atomic<qint64> stop_at_ms; // on QDeadlineTimer's clock; the end of the last sending
};
