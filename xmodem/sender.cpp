#include "app/mainwindow.h"

#include "app/platform.h"
#include "serial/serial_port.h"
#include "xmodem/framing.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstring>

namespace {

// Bounds on the waits for the module.
constexpr qint64 start_request_limit_ms = 60000; // hand-over to a usable "C" or NAK
constexpr qint64 block_silence_ms = 10000;      // a block without any reply is written again
constexpr int frame_try_limit = 10;             // NAKs or silences in a row on one frame
constexpr qint64 eot_silence_ms = 5000;         // an EOT without any reply is written again
constexpr int eot_limit = 10;

constexpr quint8 phase_start = 0;
constexpr quint8 phase_block = 1;
constexpr quint8 phase_eot = 2;

qint64 now_ms()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

QChar first_char(const QByteArray &reply)
{
    return reply.isEmpty() ? QChar() : QChar::fromLatin1(reply.at(0));
}

} // namespace

void MainWindow::hand_over_to_sender()
{
    phase_started_ms = now_ms();
    xmodem_timer->start(100);
}

bool MainWindow::port_failed() const
{
    return !port || !port->isOpen() || port->failed();
}

void MainWindow::recv_xmodem_bit()
{
    switch (xmodem_phase) {
    case phase_start:
        on_start_reply();
        break;
    case phase_block:
        on_block_reply();
        break;
    case phase_eot:
        on_eot_reply();
        break;
    default:
        break;
    }
}

void MainWindow::on_start_reply()
{
    const QByteArray reply = port ? port->readAll() : QByteArray();
    qDebug() << reply.toHex() << first_char(reply);
    if (port_failed()) {
        fail_update();
        return;
    }

    const auto first = reply.isEmpty() ? 0 : static_cast<unsigned char>(reply.at(0));
    if (first != xmodem::crc_request && (reply.isEmpty() || first != xmodem::nak)) {
        if (now_ms() - phase_started_ms >= start_request_limit_ms)
            fail_update();
        return;
    }

    use_crc = first == xmodem::crc_request ? 1 : 0;
    xmodem_timer->stop();
    xmodem_phase = phase_block;
    if (use_crc == 1 && app_damaged == 1)
        append_log(QStringLiteral("复位成功，开始升级......"));
    send_next_block();
}

void MainWindow::on_block_reply()
{
    const QByteArray reply = port->readAll();
    if (port_failed()) {
        fail_update();
        return;
    }
    if (reply.size() != 1) {
        // Replies of two or more bytes are dropped like silence.
        if (now_ms() - last_write_ms >= block_silence_ms)
            rewrite_last_frame();
        return;
    }

    const auto byte = static_cast<unsigned char>(reply.at(0));
    switch (byte) {
    case xmodem::ack:
        xmodem_timer->stop();
        send_next_block();
        break;
    case xmodem::nak:
        qDebug() << "recv NAK data now,send prv pack again" << QChar::fromLatin1(reply.at(0));
        rewrite_last_frame();
        break;
    case xmodem::can:
        qDebug() << "recv CAN data now";
        fail_update();
        break;
    default:
        qDebug() << "other misstake =" << QChar::fromLatin1(reply.at(0));
        cancel_transfer();
        break;
    }
}

// Writes the outstanding frame again; past the limit the port fails instead.
bool MainWindow::rewrite_last_frame()
{
    if (++frame_tries >= frame_try_limit) {
        cancel_transfer();
        return false;
    }
    write_bytes(last_frame);
    last_write_ms = now_ms();
    return true;
}

void MainWindow::send_next_block()
{
    std::memset(block_data, xmodem::padding, sizeof block_data);
    block_length = static_cast<quint32>(std::fread(block_data, 1, sizeof block_data, image_file));
    if (std::ferror(image_file)) {
        qDebug() << "read image error";
        cancel_transfer();
        return;
    }
    if (block_length == 0) {
        send_eot();
        return;
    }

    send_block(block_data, use_crc == 1, block_number);
    frame_tries = 0;
    last_write_ms = now_ms();
    xmodem_timer->start(1);
    ++block_number;
    file_offset += static_cast<qint32>(block_length);
    seek_image(image_file, file_offset);
    // Even a short last block waits for its ACK before the EOT.
}

void MainWindow::send_eot()
{
    xmodem_timer->stop();
    xmodem_phase = phase_eot;
    eot_count = 0;
    write_eot();
    xmodem_timer->start(1);
}

void MainWindow::write_eot()
{
    last_frame = QByteArray(1, static_cast<char>(xmodem::eot));
    write_bytes(last_frame);
    if (port)
        port->flush();
    ++eot_count;
    last_write_ms = now_ms();
}

void MainWindow::on_eot_reply()
{
    const QByteArray reply = port->readAll();
    if (port_failed()) {
        fail_update();
        return;
    }
    const int byte = reply.size() == 1 ? static_cast<unsigned char>(reply.at(0)) : -1;
    if (byte == xmodem::ack) {
        finish_update();
        return;
    }
    if (byte == xmodem::can) {
        qDebug() << "recv CAN data now";
        fail_update();
        return;
    }
    // Some receivers NAK the first EOT; others answer it only after a silence.
    const bool again = byte == xmodem::nak || now_ms() - last_write_ms >= eot_silence_ms;
    if (!again)
        return;
    if (eot_count >= eot_limit) {
        cancel_transfer();
        return;
    }
    write_eot();
}

void MainWindow::finish_update()
{
    xmodem_timer->stop();
    qDebug() << "send data successful ---------" << total_bytes << bytes_sent << last_frame.toHex();
    append_log(update_ports[current_port] + QStringLiteral("对应设备升级成功"));
    close_port();
    close_image();
    ++current_port;
    qDebug() << "current com = " << int(current_port) << "com_number = " << int(port_count);
    if (current_port < port_count)
        send_file();
    else
        end_run();
}

// Tells a boot loader still waiting for blocks to stop, then fails the port.
void MainWindow::cancel_transfer()
{
    const QByteArray cancel(2, static_cast<char>(xmodem::can));
    write_bytes(cancel);
    if (port && port->isOpen())
        port->flush();
    fail_update();
}

void MainWindow::fail_update()
{
    xmodem_timer->stop();
    append_log(update_ports[current_port] + QStringLiteral("对应设备升级失败"));
    close_port();
    close_image();
    end_run();
}
