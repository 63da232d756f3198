#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QString>

// The tool's serial port: a polling port over QSerialPort that works the same
// in the GUI thread and in a thread without an event loop. Every read and
// write finishes within its time-out; nothing waits for notifications.
// One object is used by one thread only.
class SerialPort
{
public:
    // Closed, 9600 baud 8N1, no flow control, 10 ms time-out.
    explicit SerialPort(const QString &device_name);
    ~SerialPort();

    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Read/write and exclusive; false when missing or held by another program.
    bool open();
    bool isOpen() const;
    void close();

    // Returns when every byte written so far has left the line.
    void flush();

    // The bytes have been handed to the driver when it returns (or the
    // time-out of 10 ms per byte has passed).
    qint64 write(const char *data, qint64 len);
    qint64 write(const QByteArray &data);

    // 1 with the byte when one is waiting or arrives within the time-out,
    // 0 when none arrives, -1 on error.
    int read(char *byte);

    // Every byte received and not yet read; empty at once when none waits.
    QByteArray readAll();

    bool setBaudRate(qint32 rate);
    qint32 baudRate() const;
    void setDataBits(QSerialPort::DataBits bits);
    void setParity(QSerialPort::Parity parity);
    void setStopBits(QSerialPort::StopBits bits);
    void setFlowControl(QSerialPort::FlowControl flow);
    void setTimeout(int milliseconds);

    // True once a read or write error showed that the device is gone or broken.
    bool failed() const;
    QString errorString() const { return serial.errorString(); }

private:
    bool pull_pending(int timeout_ms);
    void push_pending(qint64 budget_ms);
    void note_error();

    QSerialPort serial;
    int timeout_ms = 10;
    bool device_failed = false;
};

// The rates the tool accepts from a rate text; any other leaves the port as it is.
bool is_supported_rate(int rate);

// 8 data bits, no parity, 1 stop bit, no flow control, 10 ms time-out, in
// that order: the line settings of every port the tool opens.
void apply_line_settings(SerialPort &port);
