#pragma once

// The tool's serial port on Windows, under the same name as the Linux one so
// the layers above build unchanged: serial/serial_port.h includes this file
// there. Win32 calls only, no Qt SerialPort.

#include "serial/transport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// An overlapped COM handle with a reader thread: the thread waits in ReadFile
// (no modem-status events, which some drivers and Wine's pseudo-terminals do
// not give), keeps what arrives, wakes a waiting read() and posts the input
// hint to the thread that made the port. Writes and settings come from that
// thread. Every read and write finishes within its time-out.
class SerialPort : public Transport
{
public:
    // Closed, 9600 baud 8N1, no flow control, 10 ms time-out.
    explicit SerialPort(const QString &device_name);
    ~SerialPort() override;

    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Read/write and exclusive ("\\.\COM3"); false when missing or held by
    // another program.
    bool open() override;
    bool isOpen() const override;
    void close() override;
    OpenFailure openFailure() const override { return failure; }

    // The driver's drain, then the line time of the last bytes.
    void flush() override;
    qint64 write(const char *data, qint64 len) override;
    using Transport::write;
    int read(char *byte) override;
    QByteArray readAll() override;

    bool setBaudRate(qint32 rate) override;
    qint32 baudRate() const override { return rate; }
    void applyLineSettings() override;
    bool setDataTerminalReady(bool set) override;
    bool setRequestToSend(bool set) override;
    void setTimeout(int milliseconds) { timeout_ms = milliseconds; }

    // True once a read or write failed in a way that a line error does not
    // explain: the adapter was unplugged or the driver gave up.
    bool failed() const override;
    void setInputHint(std::function<void()> hint) override;
    // Before open(): false keeps the driver's latency as it is (--no-low-latency).
    void setLowLatency(bool wanted) { low_latency_wanted = wanted; }
    AdapterLatency adapterLatency() const override { return latency; }
    QString errorString() const;

private:
    bool apply_state();
    void read_loop();
    void received(const char *data, unsigned long count);
    void wake_reader_of_hint();
    void heard_from_peer();
    void note_failure(unsigned long error);

    const QString device;
    void *handle; // INVALID_HANDLE_VALUE while closed
    void *stop_event = nullptr;
    void *write_event = nullptr;
    qint32 rate = 9600;
    bool dtr = true; // as driven last: a new line state keeps them
    bool rts = true;
    int timeout_ms = 10;
    OpenFailure failure = OpenFailure::none;
    bool low_latency_wanted = true; // Windows has no request; the registry's timer is read
    AdapterLatency latency;

    std::thread reader;
    mutable std::mutex mutex; // guards input, device_failed, last_error
    std::condition_variable input_arrived;
    QByteArray input;
    bool device_failed = false;
    unsigned long last_error = 0;

    // Lives in the thread that made the port; the hint runs there.
    QObject hint_context;
    std::function<void()> input_hint;
    std::atomic<bool> hint_wanted{false};
    std::atomic<bool> hint_posted{false};

    // When the bytes handed to the driver will have left the line (8N1).
    QElapsedTimer line_clock;
    qint64 line_busy_until_us = 0;
};
