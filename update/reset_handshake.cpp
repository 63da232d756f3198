#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "app/platform.h"
#include "serial/serial_port.h"

#include <QDebug>
#include <QPushButton>
#include <QTimer>

void MainWindow::recv_bit()
{
    recv_timer->stop();
    if (poll_ok_reply() == 0) {
        send_cmd("AT+Reboot\r", 10);
        port->flush();
        pause_ms(1500);
        port->setBaudRate(115200);
        send_update_request();
        hand_over_to_sender();
        return;
    }

    ++retry_count;
    qDebug() << "timer_count = " << int(retry_count);
    if (retry_count == 10) {
        recv_timer->stop();
        port->setBaudRate(115200);
        send_update_request();
        reset_timer->start(100);
        retry_count = 0;
        return;
    }
    send_escape();
    recv_timer->start(100);
}

void MainWindow::check_reset()
{
    if (retry_count == 100) {
        reset_timer->stop();
        append_log(update_ports[current_port] + QStringLiteral("传输失败"));
        update_button->setEnabled(true);
        close_port();
        close_image();
        current_port = 0;
        modal->warning(this, QStringLiteral("警告"), QStringLiteral("复位超时，升级失败"));
        return;
    }

    const QByteArray reply = port->readAll();
    qDebug() << reply.toHex() << (reply.isEmpty() ? QChar() : QChar::fromLatin1(reply.at(0)));
    if (!reply.isEmpty() && reply.at(0) == 'C') {
        reset_timer->stop();
        hand_over_to_sender();
        return;
    }
    port->setBaudRate(115200);
    send_update_request();
    ++retry_count;
}
