#include "serial/scan_thread.h"

#include "app/platform.h"
#include "serial/serial_port.h"

#include <QDebug>
#include <cstring>

const QStringList Thread::scan_rates = {
    QStringLiteral("115200"), QStringLiteral("9600"),  QStringLiteral("14400"),
    QStringLiteral("19200"),  QStringLiteral("38400"), QStringLiteral("57600"),
};

Thread::Thread(const QString &port_name, quint8 mode) : port_name(port_name), mode(mode) {}

Thread::~Thread()
{
    delete port;
}

void Thread::run()
{
    QString rate = QStringLiteral("115200");
    if (!open_port(port_name))
        return;
    port->readAll();

    for (const QString &attempt : scan_rates) {
        set_rate(attempt);
        port->write("+++", 3);
        port->flush();
        pause_ms(600);
        const QByteArray reply = port->readAll();
        const auto text_length = static_cast<int>(strnlen(reply.constData(), reply.size()));
        qDebug() << "data = " << reply.toHex() << QString::fromUtf8(reply.constData(), text_length);
        if (!reply.isEmpty()) {
            rate = attempt;
            qDebug() << "real_rate = " << rate;
            port->flush();
            port->close();
            emit scan_result(true, rate, 0, mode);
            return;
        }
    }
    port->flush();
    port->close();
    emit scan_result(false, QStringLiteral("115200"), 0, mode);
}

bool Thread::open_port(const QString &name)
{
    const QString device = device_name(name);
    port = new SerialPort(device);
    qDebug() << "prot name = " << device;
    if (port->open()) {
        port->flush();
        port->setBaudRate(115200);
        apply_line_settings(*port);
        return true;
    }
    emit scan_result(false, QStringLiteral("115200"), 1, mode);
    return false;
}

void Thread::set_rate(const QString &rate)
{
    qDebug() << "rate =" << rate;
    const int value = rate.toInt(nullptr, 10);
    if (is_supported_rate(value))
        port->setBaudRate(value);
    pause_ms(1000);
}
