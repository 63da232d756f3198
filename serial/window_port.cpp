#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "app/platform.h"
#include "serial/ok_reply.h"
#include "serial/serial_port.h"

#include <QDebug>
#include <QTimer>
#include <cstring>

quint8 MainWindow::open_update_port(quint8 index)
{
    const QString name = index < max_ports ? update_ports[index] : QString();
    if (name.isEmpty()) {
        modal->warning(this, QStringLiteral("警告"), QStringLiteral("请选择升级串口"));
        return 1;
    }

    const QString device = device_name(name);
    delete port; // a replaced port object is never used again
    port = new SerialPort(device);
    qDebug() << "prot name = " << device;

    if (!port->open()) {
        modal->critical(this, tr("Serial port failed to open"),
                        tr("Serial port failed to open ")
                            + tr("\n the serial device does not exist or has been occupied"));
        return 1;
    }

    port->flush();
    const int rate = rate_text.toInt(nullptr, 10);
    if (is_supported_rate(rate))
        port->setBaudRate(rate);
    apply_line_settings(*port);
    return 0;
}

void MainWindow::send_cmd(const char *cmd, qint64 len)
{
    if (!port || !port->isOpen())
        return;
    const auto text_length = static_cast<int>(strnlen(cmd, static_cast<size_t>(len)));
    qDebug() << "send cmd = " << QString::fromUtf8(cmd, text_length) << len;
    port->write(cmd, len);
}

void MainWindow::write_bytes(const QByteArray &bytes)
{
    if (port && port->isOpen())
        port->write(bytes);
}

quint8 MainWindow::poll_ok_reply()
{
    char ch = 0x0A;
    const int read_length = port ? port->read(&ch) : -1;
    if (read_length != 1)
        ch = 0x0A;
    OkReplyState &state = ok_reply_state();
    qDebug() << "ch = " << int(static_cast<unsigned char>(ch)) << "conter = " << int(state.poll_counter)
             << "read_length" << read_length;

    switch (ok_reply_step(state, read_length, static_cast<unsigned char>(ch))) {
    case OkPoll::nothing_read:
        send_cmd("+++", 3);
        if (port)
            port->flush();
        return 1;
    case OkPoll::recognised:
        recv_timer->stop();
        return 0;
    case OkPoll::not_yet:
        break;
    }
    return 1;
}

void MainWindow::send_escape()
{
    send_cmd("+++", 3);
    recv_timer->start(800);
}

void MainWindow::close_port()
{
    qDebug() << "close window no";
    recv_timer->stop();
    xmodem_timer->stop();
    if (port && port->isOpen()) {
        port->flush();
        port->close();
        qDebug() << "close serial now";
    }
}

void MainWindow::send_update_request()
{
    send_cmd("AT#UpdateFW\r\0\0", 14);
}
