#pragma once

#ifdef _WIN32
#include "serial/win_serial_port.h"
#else

#include "platform/ports.h"
#include "serial/line_journal.h"
#include "serial/transport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>

class SerialPort;

// Sits in front of QSerialPort's read notifier: drops a notification whose
// bytes our own poll already took, and runs the input hint once QSerialPort
// has read.
class ReadNotificationFilter : public QObject
{
public:
    explicit ReadNotificationFilter(SerialPort &port) : port(port) {}
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    SerialPort &port;
};

// The tool's serial port: a polling port over QSerialPort that works the same
// in the GUI thread and in a thread without an event loop. Every read and
// write finishes within its time-out; nothing waits for notifications.
// One object is used by one thread only.
class SerialPort : public Transport
{
public:
    // Closed, 9600 baud 8N1, no flow control, 10 ms time-out.
    explicit SerialPort(const QString &device_name);
    ~SerialPort() override;

    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Read/write and exclusive; false when missing or held by another program.
    bool open() override;
    bool isOpen() const override;
    void close() override;
    OpenFailure openFailure() const override { return failure; }

    // Returns when every byte written so far has left the line: the driver's
    // drain, then the line time of the last bytes, which USB adapters and
    // pseudo-terminals report as sent while they are still on the wire.
    void flush() override;

    // The bytes have been handed to the driver when it returns (or the
    // time-out of 10 ms per byte has passed).
    qint64 write(const char *data, qint64 len) override;
    using Transport::write;

    // 1 with the byte when one is waiting or arrives within the time-out,
    // 0 when none arrives, -1 on error.
    int read(char *byte) override;

    // Every byte received and not yet read; empty at once when none waits.
    QByteArray readAll() override;

    bool setBaudRate(qint32 rate) override;
    qint32 baudRate() const override;
    void applyLineSettings() override;
    bool setDataTerminalReady(bool set) override { return serial.setDataTerminalReady(set); }
    bool setRequestToSend(bool set) override { return serial.setRequestToSend(set); }
    void setDataBits(QSerialPort::DataBits bits);
    void setParity(QSerialPort::Parity parity);
    void setStopBits(QSerialPort::StopBits bits);
    void setFlowControl(QSerialPort::FlowControl flow);
    void setTimeout(int milliseconds);

    // True once a read or write error showed that the device is gone or broken.
    bool failed() const override;
    void setInputHint(std::function<void()> hint) override;
    // Before open(): false keeps the driver's latency as it is (--no-low-latency).
    void setLowLatency(bool wanted) { low_latency_wanted = wanted; }
    AdapterLatency adapterLatency() const override { return latency; }
    QString errorString() const { return serial.errorString(); }

private:
    friend class ReadNotificationFilter;

    bool pull_pending(int timeout_ms);
    void push_pending(qint64 budget_ms);
    qint64 write_to_driver(const char *data, qint64 len);
    void note_error();
    void heard_from_peer();

    QSerialPort serial;
    ReadNotificationFilter notification_filter{*this};
    QPointer<QSocketNotifier> read_notifier;
    std::function<void()> input_hint;
    // Set when we may have read from the device past the event loop: its
    // next notification may find nothing.
    bool read_directly = false;
    bool input_arrived = false;
    // The notifier has just read everything waiting; the hint runs.
    bool in_input_hint = false;
    const QString device;
    int timeout_ms = 10;
    bool device_failed = false;
    OpenFailure failure = OpenFailure::none;
    // When the bytes handed to the driver will have left the line (8N1 at
    // the current rate), in microseconds of line_clock.
    QElapsedTimer line_clock;
    qint64 line_busy_until_us = 0;
    std::unique_ptr<LineJournal> journal;
    bool low_latency_wanted = true;
    LowLatencyRequest latency_request;
    AdapterLatency latency;
};

#endif // _WIN32
