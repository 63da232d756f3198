#include "serial/scan_thread.h"

#include "platform/platform.h"
#include "protocol/wire.h"
#include "serial/system_port.h"
#include "platform/trace.h"

#include <QMutexLocker>
#include <cstring>

Thread::Thread(const QString &port_name, quint8 mode, TransportFactory open_transport)
    : port_name(port_name), mode(mode),
      open_transport(open_transport ? std::move(open_transport) : TransportFactory(system_serial_port))
{
}

Thread::~Thread() = default;

void Thread::request_stop()
{
    QMutexLocker lock(&stop_mutex);
    stopping = true;
    stop_asked.wakeAll();
}

bool Thread::stop_and_wait(int timeout_ms)
{
    request_stop();
    return wait(static_cast<unsigned long>(timeout_ms));
}

bool Thread::pause(int ms)
{
    QMutexLocker lock(&stop_mutex);
    if (!stopping)
        stop_asked.wait(&stop_mutex, static_cast<unsigned long>(ms));
    return !stopping;
}

void Thread::run()
{
    if (!open_port(port_name))
        return;
    port->readAll();

    for (const int attempt : wire::scan_rates) {
        if (!set_rate(attempt))
            break;
        port->write(wire::escape_sequence());
        port->flush();
        if (!pause(wire::scan_reply_wait_ms))
            break;
        const QByteArray reply = port->readAll();
        const auto text_length = static_cast<int>(strnlen(reply.constData(), reply.size()));
        qCDebug(trace) << "data = " << reply.toHex() << QString::fromUtf8(reply.constData(), text_length);
        if (!reply.isEmpty()) {
            const QString rate = QString::number(attempt);
            qCDebug(trace) << "real_rate = " << rate;
            port->flush();
            port->close();
            emit scan_result(true, rate, 0, mode);
            return;
        }
    }
    port->flush();
    port->close();
    if (!pause(0))
        return; // stopped: nobody waits for a report
    emit scan_result(false, QString::number(wire::boot_loader_rate), 0, mode);
}

bool Thread::open_port(const QString &name)
{
    const QString device = device_name(name);
    port = open_transport(device);
    qCDebug(trace) << "prot name = " << device;
    if (port->open()) {
        port->flush();
        port->setBaudRate(wire::boot_loader_rate);
        port->applyLineSettings();
        return true;
    }
    failure = port->openFailure();
    emit scan_result(false, QString::number(wire::boot_loader_rate), 1, mode);
    return false;
}

bool Thread::set_rate(int rate)
{
    qCDebug(trace) << "rate =" << QString::number(rate);
    if (is_supported_rate(rate))
        port->setBaudRate(rate);
    return pause(wire::scan_settle_ms);
}
