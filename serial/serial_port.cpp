#include "serial/serial_port.h"

#include "platform/platform.h"
#include "platform/trace.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QThread>

#include <utility>

#ifndef Q_OS_WIN
#include <cerrno>
#include <unistd.h>
#endif

// 8 data bits, no parity, 1 stop bit, no flow control, 10 ms time-out, in
// that order: the line settings of every port the tool opens.
void SerialPort::applyLineSettings()
{
    setDataBits(QSerialPort::Data8);
    setParity(QSerialPort::NoParity);
    setStopBits(QSerialPort::OneStop);
    setFlowControl(QSerialPort::NoFlowControl);
    setTimeout(10);
}

void SerialPort::setInputHint(std::function<void()> hint)
{
    QObject::disconnect(&serial, &QSerialPort::readyRead, nullptr, nullptr);
    input_hint = std::move(hint);
    input_arrived = false;
    if (!input_hint)
        return;
    // The reader must not run inside QSerialPort's own notification: with the
    // read notifier at hand, the filter runs the hint right after it;
    // otherwise the hint is queued.
    if (read_notifier) {
        QObject::connect(&serial, &QSerialPort::readyRead, &serial, [this] { input_arrived = true; });
        return;
    }
    QObject::connect(&serial, &QSerialPort::readyRead, &serial, [this] {
        if (const auto hint = input_hint)
            hint();
    }, Qt::QueuedConnection);
}

SerialPort::SerialPort(const QString &device_name) : device(device_name)
{
    serial.setPortName(device_name);
    serial.setBaudRate(9600);
    serial.setDataBits(QSerialPort::Data8);
    serial.setParity(QSerialPort::NoParity);
    serial.setStopBits(QSerialPort::OneStop);
    serial.setFlowControl(QSerialPort::NoFlowControl);
}

SerialPort::~SerialPort()
{
    close();
}

// The event loop polls the port, then hands out the notifications; a reader
// that runs in between (a posted event, a write that waits) may take the
// bytes first. Without the filter that notification ends in a read of
// nothing, which QSerialPort reports as a read error. A hang-up still passes.
// With an input hint, the notification is delivered here and the hint runs
// once QSerialPort is done with it, in the same round of the event loop.
bool ReadNotificationFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::SockAct)
        return false;
    auto *notifier = static_cast<QSocketNotifier *>(watched);
    if (notifier->type() != QSocketNotifier::Read)
        return false;
    if (port.read_directly) {
        port.read_directly = false;
        if (!input_ready(notifier->socket(), 0))
            return true;
    }
    if (!port.input_hint || notifier != port.read_notifier)
        return false;
    port.input_arrived = false;
    static_cast<QObject *>(notifier)->event(event);
    if (!std::exchange(port.input_arrived, false))
        return true;
    // A copy: the hint may close the port and take the hint away.
    const auto hint = port.input_hint;
    port.in_input_hint = true;
    hint();
    port.in_input_hint = false;
    return true;
}

bool SerialPort::open()
{
    device_failed = false;
    line_clock.start();
    line_busy_until_us = 0;
    if (serial.open(QIODevice::ReadWrite)) {
        failure = OpenFailure::none;
        journal = LineJournal::from_environment();
        if (journal)
            journal->rate(serial.baudRate());
        latency_request = low_latency_wanted ? request_low_latency(serial.handle()) : LowLatencyRequest{};
        latency = {adapter_latency_timer_ms(device), latency_request.granted};
        read_notifier = nullptr;
        for (QSocketNotifier *notifier : serial.findChildren<QSocketNotifier *>()) {
            if (notifier->type() == QSocketNotifier::Read && notifier->isEnabled()) {
                notifier->installEventFilter(&notification_filter);
                read_notifier = notifier;
            }
        }
        return true;
    }
    switch (serial.error()) {
    case QSerialPort::PermissionError:
        // Qt reports a port locked by another program as a permission error too.
        failure = device_accessible(device) ? OpenFailure::busy : OpenFailure::permission_denied;
        break;
    case QSerialPort::DeviceNotFoundError:
        failure = OpenFailure::no_such_port;
        break;
    default:
        failure = OpenFailure::other;
        break;
    }
    return false;
}

bool SerialPort::isOpen() const
{
    return serial.isOpen();
}

void SerialPort::close()
{
    if (serial.isOpen()) {
        restore_serial_flags(serial.handle(), std::exchange(latency_request, {}));
        serial.close();
    }
    journal.reset();
}

namespace {

// Time-outs and "nothing to do" are part of polling; these mean the device broke.
bool is_device_error(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ReadError || error == QSerialPort::WriteError
           || error == QSerialPort::ResourceError;
}

} // namespace

void SerialPort::note_error()
{
    if (is_device_error(serial.error()))
        device_failed = true;
}

bool SerialPort::failed() const
{
    return device_failed || is_device_error(serial.error());
}

// Moves bytes from the operating system into QSerialPort's buffer. Without an
// event loop nothing else does it. Returns true when bytes came in.
bool SerialPort::pull_pending(int wait_ms)
{
#ifdef Q_OS_WIN
    const bool ready = serial.waitForReadyRead(wait_ms);
#else
    // Asking the handle first keeps waitForReadyRead from raising a time-out
    // error on every empty poll.
    if (!input_ready(serial.handle(), wait_ms))
        return false;
    read_directly = true;
    const bool ready = serial.waitForReadyRead(0);
#endif
    if (!ready)
        note_error();
    return ready;
}

void SerialPort::push_pending(qint64 budget_ms)
{
    QElapsedTimer clock;
    clock.start();
    // Waiting for the write, QSerialPort reads whatever comes in meanwhile.
    read_directly = true;
    while (serial.bytesToWrite() > 0) {
        const qint64 left = budget_ms - clock.elapsed();
        if (left <= 0)
            return;
        if (!serial.waitForBytesWritten(static_cast<int>(left))) {
            note_error();
            return;
        }
    }
}

void SerialPort::flush()
{
    if (!serial.isOpen())
        return;
    push_pending(qMax<qint64>(timeout_ms, 1) * qMax<qint64>(serial.bytesToWrite(), 1));
    drain_output(serial.handle());
    const qint64 left_us = line_busy_until_us - line_clock.nsecsElapsed() / 1000;
    if (left_us > 0)
        QThread::usleep(static_cast<unsigned long>(left_us));
}

// As much as the driver takes at once, while nothing waits in QSerialPort's
// buffer to go first; 0 on any failure, which QSerialPort's own write then
// meets and reports.
qint64 SerialPort::write_to_driver(const char *data, qint64 len)
{
#ifdef Q_OS_WIN
    Q_UNUSED(data);
    Q_UNUSED(len);
    return 0;
#else
    if (serial.bytesToWrite() > 0)
        return 0;
    ssize_t written;
    do {
        written = ::write(static_cast<int>(serial.handle()), data, static_cast<size_t>(len));
    } while (written < 0 && errno == EINTR);
    return written > 0 ? written : 0;
#endif
}

qint64 SerialPort::write(const char *data, qint64 len)
{
    if (!serial.isOpen() || len <= 0)
        return serial.isOpen() ? 0 : -1;
    const qint64 handed_at_ns = journal ? LineJournal::now_ns() : 0;
    // The driver usually takes a frame whole: no write notifier, no wait.
    const qint64 direct = write_to_driver(data, len);
    qint64 queued = direct;
    if (direct < len) {
        const qint64 rest = serial.write(data + direct, len - direct);
        if (rest < 0) {
            note_error();
            if (direct == 0)
                return rest;
        } else {
            queued += rest;
        }
    }
    const qint64 now_us = line_clock.nsecsElapsed() / 1000;
    const qint64 rate = qMax(serial.baudRate(), 1);
    line_busy_until_us = qMax(line_busy_until_us, now_us) + (queued * 10 * 1000000 + rate - 1) / rate;
    if (journal)
        journal->wrote(handed_at_ns, queued);
    if (serial.bytesToWrite() > 0)
        push_pending(qMax<qint64>(timeout_ms, 1) * len);
    return queued;
}

int SerialPort::read(char *byte)
{
    if (!serial.isOpen())
        return -1;
    if (serial.bytesAvailable() == 0)
        pull_pending(timeout_ms);
    if (serial.bytesAvailable() == 0)
        return failed() ? -1 : 0;
    if (!serial.getChar(byte))
        return -1;
    heard_from_peer();
    return 1;
}

// A reply means the peer has received what was written before it: the line
// is not still busy with those bytes.
void SerialPort::heard_from_peer()
{
    line_busy_until_us = qMin(line_busy_until_us, line_clock.nsecsElapsed() / 1000);
}

QByteArray SerialPort::readAll()
{
    if (!serial.isOpen())
        return QByteArray();
    // Bounded, so a device that never stops sending cannot hold us here.
    // Right after the notifier took all that was waiting, asking again
    // would find nothing.
    if (!std::exchange(in_input_hint, false)) {
        for (int round = 0; round < 64 && pull_pending(0); ++round) {
        }
    }
    // QIODevice::readAll() sets aside a whole read chunk first, even for
    // nothing; most calls here find nothing or one byte.
    const qint64 available = serial.bytesAvailable();
    if (available <= 0)
        return QByteArray();
    const QByteArray bytes = serial.read(available);
    if (!bytes.isEmpty())
        heard_from_peer();
    return bytes;
}

bool SerialPort::setBaudRate(qint32 rate)
{
    if (journal && rate != serial.baudRate())
        journal->rate(rate);
    return serial.setBaudRate(rate);
}

qint32 SerialPort::baudRate() const
{
    return serial.baudRate();
}

void SerialPort::setDataBits(QSerialPort::DataBits bits)
{
    serial.setDataBits(bits);
}

void SerialPort::setParity(QSerialPort::Parity parity)
{
    serial.setParity(parity);
}

void SerialPort::setStopBits(QSerialPort::StopBits bits)
{
    serial.setStopBits(bits);
}

void SerialPort::setFlowControl(QSerialPort::FlowControl flow)
{
    serial.setFlowControl(flow);
}

void SerialPort::setTimeout(int milliseconds)
{
    timeout_ms = milliseconds;
}
