#include "serial/serial_port.h"

#include "app/platform.h"

#include <QElapsedTimer>

bool is_supported_rate(int rate)
{
    switch (rate) {
    case 9600:
    case 14400:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        return true;
    default:
        return false;
    }
}

void apply_line_settings(SerialPort &port)
{
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setTimeout(10);
}

SerialPort::SerialPort(const QString &device_name)
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

bool SerialPort::open()
{
    device_failed = false;
    return serial.open(QIODevice::ReadWrite);
}

bool SerialPort::isOpen() const
{
    return serial.isOpen();
}

void SerialPort::close()
{
    if (serial.isOpen())
        serial.close();
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
}

qint64 SerialPort::write(const char *data, qint64 len)
{
    if (!serial.isOpen() || len <= 0)
        return serial.isOpen() ? 0 : -1;
    const qint64 queued = serial.write(data, len);
    if (queued < 0) {
        note_error();
        return queued;
    }
    push_pending(qMax<qint64>(timeout_ms, 1) * len);
    return queued;
}

qint64 SerialPort::write(const QByteArray &data)
{
    return write(data.constData(), data.size());
}

int SerialPort::read(char *byte)
{
    if (!serial.isOpen())
        return -1;
    if (serial.bytesAvailable() == 0)
        pull_pending(timeout_ms);
    if (serial.bytesAvailable() == 0)
        return failed() ? -1 : 0;
    return serial.getChar(byte) ? 1 : -1;
}

QByteArray SerialPort::readAll()
{
    if (!serial.isOpen())
        return QByteArray();
    // Bounded, so a device that never stops sending cannot hold us here.
    for (int round = 0; round < 64 && pull_pending(0); ++round) {
    }
    return serial.readAll();
}

bool SerialPort::setBaudRate(qint32 rate)
{
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
