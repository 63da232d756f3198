#pragma once

#include "serial/transport.h"

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

// Finds the baud rate at which the module on a port answers "+++": tries the
// rates in a fixed order and reports once through scan_result. Owns its
// port; the update opens its own only after the report.
class Thread : public QThread
{
    Q_OBJECT

public:
    // open_transport: the system's serial port when null; called in the thread.
    Thread(const QString &port_name, quint8 mode, TransportFactory open_transport = {});
    ~Thread() override;

    // Makes run() return at its next wait without reporting. Safe from any thread.
    void request_stop();
    // request_stop(), then waits up to timeout_ms for the thread to end.
    bool stop_and_wait(int timeout_ms);

    // Why the port did not open, once scan_result said so.
    OpenFailure open_failure() const { return failure; }

signals:
    void scan_result(bool found, QString rate, quint8 open_failed, quint8 mode);

protected:
    void run() override;

private:
    bool open_port(const QString &name);
    bool set_rate(int rate);
    // Sleeps ms unless a stop is asked for; false when it was.
    bool pause(int ms);

    QString port_name;
    quint8 mode;
    TransportFactory open_transport;
    std::unique_ptr<Transport> port; // created and used in run() only
    OpenFailure failure = OpenFailure::none;

    QMutex stop_mutex;
    QWaitCondition stop_asked;
    bool stopping = false;
};
