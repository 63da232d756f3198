#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

// Why a port could not be opened, as far as the system tells.
enum class OpenFailure {
    none,
    permission_denied,
    busy,        // held by another program
    no_such_port,
    other,
};

// How long the port's adapter may hold what the module sent before the tool
// can read it (a USB adapter's latency timer), as far as the system tells.
struct AdapterLatency
{
    int timer_ms = -1;        // -1: the system tells nothing
    bool low_latency = false; // the driver took ASYNC_LOW_LATENCY
};

// Above this, every XMODEM block waits for its ACK noticeably longer.
constexpr int slow_adapter_latency_ms = 2;

// The small interface the update talks to: a serial line that is opened,
// read and written by polling. SerialPort is the real one; tests and the
// fuzzer put an in-memory line in its place. Its names follow the serial
// port library it stands for (isOpen, readAll, setBaudRate, ...), also those
// of the operations it adds.
class Transport
{
public:
    virtual ~Transport() = default;

    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    virtual OpenFailure openFailure() const = 0;

    // Returns when every byte written so far has left the line.
    virtual void flush() = 0;
    virtual qint64 write(const char *data, qint64 len) = 0;
    qint64 write(const QByteArray &data) { return write(data.constData(), data.size()); }

    // 1 with the byte when one is waiting or arrives within the time-out,
    // 0 when none arrives, -1 on error.
    virtual int read(char *byte) = 0;
    // Every byte received and not yet read; empty at once when none waits.
    virtual QByteArray readAll() = 0;

    virtual bool setBaudRate(qint32 rate) = 0;
    virtual qint32 baudRate() const = 0;
    // 8 data bits, no parity, 1 stop bit, no flow control, 10 ms time-out.
    virtual void applyLineSettings() = 0;

    // True once a read or write showed that the device is gone or broken.
    virtual bool failed() const = 0;

    // Of the open port; lines without an adapter tell nothing.
    virtual AdapterLatency adapterLatency() const { return {}; }
    // Drive the modem lines (asserted: true), for a fixture that wires the
    // module's reset to them; false where the line has none. Nothing else
    // touches them: opening a port leaves them as the system does.
    virtual bool setDataTerminalReady(bool set)
    {
        Q_UNUSED(set);
        return false;
    }
    virtual bool setRequestToSend(bool set)
    {
        Q_UNUSED(set);
        return false;
    }

    // Called (from the event loop) when input may be waiting; a hint only,
    // the reader still polls. Lines without notifications ignore it.
    virtual void setInputHint(std::function<void()> hint) { Q_UNUSED(hint); }
};

// Makes the line of a device, not yet open: tests put their own in place of the system's.
using TransportFactory = std::function<std::unique_ptr<Transport>(const QString &device)>;

// The rates the tool accepts from a rate text; any other leaves the port as it is.
bool is_supported_rate(int rate);
