#include "engine/port_update.h"

#include "platform/platform.h"
#include "platform/trace.h"
#include "protocol/framing.h"
#include "protocol/replies.h"
#include "serial/scan_thread.h"
#include "serial/serial_port.h"

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <cstring>

namespace {

// Bounds on the waits for the module.
constexpr qint64 start_request_limit_ms = 60000; // hand-over to a usable "C" or NAK
constexpr qint64 block_silence_ms = 10000;      // a block without any reply is written again
constexpr int frame_try_limit = 10;             // NAKs or silences in a row on one frame
constexpr qint64 eot_silence_ms = 5000;         // an EOT without any reply is written again
constexpr int eot_limit = 10;
constexpr int scan_stop_wait_ms = 2000;
constexpr int duplicate_settle_ms = 50;         // > two 133-byte frames at 115200

QChar first_char(const QByteArray &reply)
{
    return reply.isEmpty() ? QChar() : QChar::fromLatin1(reply.at(0));
}

QString window_text(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

FailReason reason_for(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::permission_denied:
        return FailReason::permission_denied;
    case OpenFailure::busy:
        return FailReason::port_busy;
    case OpenFailure::no_such_port:
        return FailReason::no_such_port;
    default:
        return FailReason::open_failed;
    }
}

QString explanation(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::permission_denied:
        return QStringLiteral(": permission denied (join the dialout group: sudo usermod -aG dialout $USER, then log in again)");
    case OpenFailure::busy:
        return QStringLiteral(": in use by another program");
    case OpenFailure::no_such_port:
        return QStringLiteral(": no such device");
    default:
        return QString();
    }
}

} // namespace

PortUpdate::PortUpdate(const QString &port_name, const QString &firmware_path, UpdateOptions options,
                       QObject *parent)
    : QObject(parent),
      name(port_name),
      firmware_path(firmware_path),
      options(std::move(options)),
      clock(this->options.clock ? this->options.clock : &own_clock),
      recv_timer(new QTimer(this)),
      xmodem_timer(new QTimer(this)),
      reset_timer(new QTimer(this)),
      pause_timer(new QTimer(this))
{
    register_outcome_types();
    if (!this->options.open_transport) {
        this->options.open_transport = [](const QString &device) -> std::unique_ptr<Transport> {
            return std::make_unique<SerialPort>(device);
        };
    }
    connect(recv_timer, &QTimer::timeout, this, &PortUpdate::recv_bit);
    connect(xmodem_timer, &QTimer::timeout, this, &PortUpdate::recv_xmodem_bit);
    connect(reset_timer, &QTimer::timeout, this, &PortUpdate::check_reset);
    pause_timer->setSingleShot(true);
    connect(pause_timer, &QTimer::timeout, this, [this] {
        if (auto step = std::exchange(after_pause, nullptr))
            (this->*step)();
    });
}

PortUpdate::~PortUpdate()
{
    stop_scan();
    if (link && link->isOpen())
        link->close();
    close_image();
}

bool PortUpdate::waiting() const
{
    return recv_timer->isActive() || xmodem_timer->isActive() || reset_timer->isActive()
           || pause_timer->isActive() || stage == Stage::scanning;
}

void PortUpdate::log(const QString &body)
{
    emit log_line(options.name_every_line && !body.startsWith(name) ? name + body : body);
}

void PortUpdate::log_port(const QString &message)
{
    emit log_line(name + message);
}

void PortUpdate::tell(NoticeKind kind, const QString &title, const QString &text)
{
    emit notice(kind, title, options.name_every_line ? name + QLatin1Char(' ') + text : text);
}

void PortUpdate::pause_then(int ms, void (PortUpdate::*step)())
{
    after_pause = step;
    pause_timer->start(qMax(ms, 0));
}

// ---- image --------------------------------------------------------------

int PortUpdate::prepare_update()
{
    damaged = 0;
    file_offset = 0;
    sent_bytes = 0;
    next_block_number = 1;
    phase = XmodemPhase::start;
    retries = 0;

    close_image();
    image_file = open_measured_image(firmware_path, image_size);
    return image_file ? 0 : 1;
}

void PortUpdate::close_image()
{
    if (image_file) {
        std::fclose(image_file);
        image_file = nullptr;
    }
}

// ---- the port -----------------------------------------------------------

quint8 PortUpdate::open_update_port()
{
    const QString device = device_name(options.device.isEmpty() ? name : options.device);
    link = options.open_transport(device);
    qCDebug(trace) << "prot name = " << device;
    if (!link->open())
        return 1;
    link->flush();
    const int rate = found_rate.toInt(nullptr, 10);
    if (is_supported_rate(rate))
        link->setBaudRate(rate);
    link->apply_line_settings();
    link->set_input_hint([this] { on_input(); });
    return 0;
}

void PortUpdate::send_cmd(const QByteArray &cmd)
{
    if (!link || !link->isOpen())
        return;
    const auto text_length = static_cast<int>(strnlen(cmd.constData(), static_cast<size_t>(cmd.size())));
    qCDebug(trace) << "send cmd = " << QString::fromUtf8(cmd.constData(), text_length) << cmd.size();
    link->write(cmd);
}

void PortUpdate::write_bytes(const QByteArray &bytes)
{
    if (link && link->isOpen())
        link->write(bytes);
}

quint8 PortUpdate::poll_ok_reply()
{
    char ch = 0x0A;
    const int read_length = link ? link->read(&ch) : -1;
    if (read_length != 1)
        ch = 0x0A;
    if (trace().isDebugEnabled())
        qCDebug(trace) << "ch = " << int(static_cast<unsigned char>(ch)) << "conter = " << int(ok_state.poll_counter)
                       << "read_length" << read_length;

    switch (ok_reply_step(ok_state, read_length, static_cast<unsigned char>(ch))) {
    case OkPoll::nothing_read:
        send_cmd(wire::escape_sequence());
        if (link)
            link->flush();
        return 1;
    case OkPoll::recognised:
        recv_timer->stop();
        return 0;
    case OkPoll::not_yet:
        break;
    }
    return 1;
}

void PortUpdate::send_escape()
{
    send_cmd(wire::escape_sequence());
    recv_timer->start(wire::first_ok_poll_ms);
}

void PortUpdate::close_port()
{
    qCDebug(trace) << "close window no";
    recv_timer->stop();
    xmodem_timer->stop();
    if (link && link->isOpen()) {
        link->set_input_hint(nullptr);
        link->flush();
        link->close();
        qCDebug(trace) << "close serial now";
    }
}

void PortUpdate::send_update_request()
{
    send_cmd(wire::update_request());
}

bool PortUpdate::port_failed() const
{
    return !link || !link->isOpen() || link->failed();
}

// ---- update control -----------------------------------------------------

void PortUpdate::send_file()
{
    if (stage != Stage::idle)
        return;
    if (prepare_update() != 0) {
        stage = Stage::ended;
        log_port(QStringLiteral("打开升级文件失败"));
        tell(NoticeKind::warning, QStringLiteral("警告"), QStringLiteral("打开升级文件失败"));
        end(PortResult::failure, FailReason::image_unreadable);
        return;
    }
    stage = Stage::scanning;
    auto *thread = new Thread(options.device.isEmpty() ? name : options.device, 0);
    scan_thread = thread;
    connect(thread, SIGNAL(scan_result(bool,QString,quint8,quint8)), this,
            SLOT(get_scan_result(bool,QString,quint8,quint8)));
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}

int PortUpdate::start_with_boot_loader_ready()
{
    if (stage != Stage::idle || prepare_update() != 0)
        return 1;
    found_rate = QString::number(wire::boot_loader_rate);
    if (open_update_port() != 0)
        return 1;
    hand_over_to_sender();
    return 0;
}

void PortUpdate::stop_scan()
{
    if (!scan_thread)
        return;
    Thread *thread = scan_thread;
    scan_thread = nullptr;
    disconnect(thread, nullptr, this, nullptr);
    // The thread deletes itself when it finishes; one that will not stop
    // in time is left to end on its own rather than destroyed running.
    thread->stop_and_wait(scan_stop_wait_ms);
}

void PortUpdate::get_scan_result(bool found, QString rate, quint8 open_failed, quint8 mode)
{
    Q_UNUSED(mode);
    if (stage != Stage::scanning && stage != Stage::idle)
        return;
    if (!image_file && prepare_update() != 0) {
        stage = Stage::ended;
        log_port(QStringLiteral("打开升级文件失败"));
        end(PortResult::failure, FailReason::image_unreadable);
        return;
    }
    if (scan_thread) {
        scan_open_failure = scan_thread->open_failure();
        disconnect(scan_thread, nullptr, this, nullptr);
        scan_thread->exit(0);
        scan_thread = nullptr;
    }
    if (open_failed == 1) {
        stage = Stage::ended;
        if (options.explain_open_failure)
            log_port(QStringLiteral("Serial port failed to open") + explanation(scan_open_failure));
        tell(NoticeKind::critical, window_text("Serial port failed to open"),
             window_text("Serial port failed to open ")
                 + window_text("\n the serial device does not exist or has been occupied"));
        close_image();
        end(PortResult::failure, reason_for(scan_open_failure));
        return;
    }

    found_rate = rate;
    if (!found) {
        log(QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"));
        damaged = 1;
        emit reset_needed();
    } else {
        emit rate_found(rate.toInt());
    }

    stage = Stage::opening;
    opened_result = open_update_port();
    if (opened_result == 1) {
        const OpenFailure failure = link ? link->open_failure() : OpenFailure::other;
        if (options.explain_open_failure)
            log_port(QStringLiteral("Serial port failed to open") + explanation(failure));
        tell(NoticeKind::critical, window_text("Serial port failed to open"),
             window_text("Serial port failed to open ")
                 + window_text("\n the serial device does not exist or has been occupied"));
        scan_open_failure = failure;
    }
    pause_then(options.open_pause_ms, &PortUpdate::after_open_pause_step);
}

void PortUpdate::after_open_pause_step()
{
    if (opened_result == 1) {
        stage = Stage::ended;
        close_image();
        end(PortResult::failure, reason_for(scan_open_failure));
        return;
    }
    link->readAll();
    if (port_failed()) {
        fail_update(FailReason::port_lost);
        return;
    }
    stage = Stage::waiting_ok;
    send_escape();
    if (damaged != 1)
        log(QStringLiteral("开始升级") + name + QStringLiteral("对应的设备......."));
}

void PortUpdate::recv_bit()
{
    recv_timer->stop();
    if (port_failed()) {
        fail_update(FailReason::port_lost);
        return;
    }
    if (poll_ok_reply() == 0) {
        send_cmd(wire::reboot_command());
        link->flush();
        stage = Stage::rebooting;
        pause_then(options.reboot_pause_ms, &PortUpdate::after_reboot_pause);
        return;
    }

    ++retries;
    qCDebug(trace) << "timer_count = " << int(retries);
    if (retries == wire::ok_poll_limit) {
        recv_timer->stop();
        link->setBaudRate(wire::boot_loader_rate);
        send_update_request();
        stage = Stage::waiting_boot_loader;
        reset_timer->start(wire::reset_poll_ms);
        retries = 0;
        return;
    }
    send_escape();
    recv_timer->start(wire::ok_poll_ms);
}

void PortUpdate::after_reboot_pause()
{
    if (port_failed()) {
        fail_update(FailReason::port_lost);
        return;
    }
    link->setBaudRate(wire::boot_loader_rate);
    send_update_request();
    hand_over_to_sender();
}

void PortUpdate::check_reset()
{
    if (port_failed()) {
        reset_timer->stop();
        fail_update(FailReason::port_lost);
        return;
    }
    if (retries == wire::reset_poll_limit) {
        reset_timer->stop();
        stage = Stage::ended;
        log_port(QStringLiteral("传输失败"));
        close_port();
        close_image();
        end(PortResult::failure, FailReason::reset_timeout);
        tell(NoticeKind::warning, QStringLiteral("警告"), QStringLiteral("复位超时，升级失败"));
        return;
    }

    const QByteArray reply = link->readAll();
    qCDebug(trace) << reply.toHex() << first_char(reply);
    if (!reply.isEmpty() && reply.at(0) == 'C') {
        reset_timer->stop();
        hand_over_to_sender();
        return;
    }
    link->setBaudRate(wire::boot_loader_rate);
    send_update_request();
    ++retries;
}

void PortUpdate::hand_over_to_sender()
{
    stage = Stage::transferring;
    phase_started_ms = now_ms();
    xmodem_timer->start(wire::start_poll_ms);
}

// ---- sender -------------------------------------------------------------

void PortUpdate::recv_xmodem_bit()
{
    if (in_reply)
        return;
    in_reply = true;
    switch (phase) {
    case XmodemPhase::start:
        on_start_reply();
        break;
    case XmodemPhase::block:
        on_block_reply();
        break;
    case XmodemPhase::eot:
        on_eot_reply();
        break;
    }
    in_reply = false;
}

// The module's reply to a block or the EOT is handled as soon as it
// arrives; the 1 ms poll stays for the time bounds.
void PortUpdate::on_input()
{
    if (stage == Stage::transferring && phase != XmodemPhase::start && xmodem_timer->isActive())
        recv_xmodem_bit();
}

void PortUpdate::on_start_reply()
{
    const QByteArray reply = link ? link->readAll() : QByteArray();
    if (trace().isDebugEnabled())
        qCDebug(trace) << reply.toHex() << first_char(reply);
    if (port_failed()) {
        fail_update(FailReason::port_lost);
        return;
    }

    const Reply kind = classify_start_reply(reply);
    if (kind != Reply::start_request && kind != Reply::nak) {
        if (now_ms() - phase_started_ms >= start_request_limit_ms)
            fail_update(FailReason::no_start_request);
        return;
    }

    use_crc = kind == Reply::start_request ? 1 : 0;
    xmodem_timer->stop();
    phase = XmodemPhase::block;
    if (use_crc == 1 && damaged == 1)
        log(QStringLiteral("复位成功，开始升级......"));
    send_next_block();
}

void PortUpdate::on_block_reply()
{
    const QByteArray reply = link->readAll();
    const Reply kind = classify_block_reply(reply);
    // A decisive reply counts even when the line went down right after it.
    if ((kind == Reply::none || kind == Reply::noise) && port_failed()) {
        fail_update(FailReason::port_lost);
        return;
    }
    if (reply.size() > 1 && kind != Reply::noise)
        qCDebug(trace) << "reply decided by its last control byte:" << reply.toHex();

    switch (kind) {
    case Reply::none:
    case Reply::noise:
        if (now_ms() - last_write_ms >= block_silence_ms)
            rewrite_last_frame(FailReason::retries_exhausted);
        break;
    case Reply::ack:
        xmodem_timer->stop();
        if (duplicate_ack_possible) {
            duplicate_ack_possible = false;
            pause_then(duplicate_settle_ms, &PortUpdate::after_duplicate_settle);
            break;
        }
        send_next_block();
        break;
    case Reply::nak:
        qCDebug(trace) << "recv NAK data now,send prv pack again" << QChar::fromLatin1(char(xmodem::nak));
        rewrite_last_frame(FailReason::retries_exhausted);
        break;
    case Reply::cancel:
        qCDebug(trace) << "recv CAN data now";
        fail_update(FailReason::cancelled_by_module);
        break;
    case Reply::start_request:
        // A start character crossing block 1 on the line: the receiver has
        // not seen the block yet. It acknowledges a repeated block anyway.
        if (next_block_number == 2 && file_offset <= xmodem::block_size) {
            qCDebug(trace) << "start request crossed block 1, send it again";
            duplicate_ack_possible = rewrite_last_frame(FailReason::retries_exhausted);
            break;
        }
        qCDebug(trace) << "other misstake =" << first_char(reply);
        cancel_transfer(FailReason::unexpected_reply);
        break;
    case Reply::other:
        qCDebug(trace) << "other misstake =" << first_char(reply);
        cancel_transfer(FailReason::unexpected_reply);
        break;
    }
}

// The ACK of block 1 came after it was written twice: the receiver
// acknowledges the second copy too, and that ACK must not be taken for the
// ACK of block 2. Wait for it (a few frame times) and drop it.
void PortUpdate::after_duplicate_settle()
{
    const QByteArray late = link ? link->readAll() : QByteArray();
    qCDebug(trace) << "after the repeated block 1:" << late.toHex();
    if (classify_block_reply(late) == Reply::cancel) {
        fail_update(FailReason::cancelled_by_module);
        return;
    }
    send_next_block();
}

// Writes the outstanding frame again; past the limit the port fails instead.
bool PortUpdate::rewrite_last_frame(FailReason reason_past_limit)
{
    if (++frame_tries >= frame_try_limit) {
        cancel_transfer(reason_past_limit);
        return false;
    }
    write_bytes(frame);
    last_write_ms = now_ms();
    return true;
}

void PortUpdate::send_next_block()
{
    std::memset(block_data, xmodem::padding, sizeof block_data);
    block_length = static_cast<quint32>(std::fread(block_data, 1, sizeof block_data, image_file));
    if (std::ferror(image_file)) {
        qCDebug(trace) << "read image error";
        cancel_transfer(FailReason::image_unreadable);
        return;
    }
    // Only the image measured at the start is sent: a file that shrank or
    // grew since then would give the module something else.
    const qint64 read_end = file_offset + block_length;
    const bool short_read = block_length < sizeof block_data && read_end != image_size;
    if (read_end > image_size || short_read) {
        qCDebug(trace) << "image changed during the transfer:" << image_size << "bytes measured, read up to"
                       << read_end;
        cancel_transfer(FailReason::image_changed);
        return;
    }
    if (block_length == 0) {
        send_eot();
        return;
    }

    send_block(block_data, use_crc == 1, next_block_number);
    frame_tries = 0;
    last_write_ms = now_ms();
    xmodem_timer->start(wire::block_poll_ms);
    ++next_block_number;
    file_offset = read_end;
    // Even a short last block waits for its ACK before the EOT.
}

void PortUpdate::send_block(const unsigned char *data, bool crc, quint8 number)
{
    sent_bytes += block_length;
    emit progress(progress_text(sent_bytes, image_size), sent_bytes, image_size);
    build_frame_into(frame, data, crc, number);
    write_bytes(frame);
}

void PortUpdate::send_eot()
{
    xmodem_timer->stop();
    phase = XmodemPhase::eot;
    eot_count = 0;
    write_eot();
    xmodem_timer->start(wire::block_poll_ms);
}

void PortUpdate::write_eot()
{
    frame = QByteArray(1, static_cast<char>(xmodem::eot));
    write_bytes(frame);
    if (link)
        link->flush();
    ++eot_count;
    last_write_ms = now_ms();
}

void PortUpdate::on_eot_reply()
{
    const QByteArray reply = link->readAll();
    const Reply kind = classify_block_reply(reply);
    if (kind != Reply::ack && kind != Reply::cancel && port_failed()) {
        fail_update(FailReason::port_lost);
        return;
    }
    if (kind == Reply::ack) {
        finish_update();
        return;
    }
    if (kind == Reply::cancel) {
        qCDebug(trace) << "recv CAN data now";
        fail_update(FailReason::cancelled_by_module);
        return;
    }
    // Some receivers NAK the first EOT; others answer it only after a silence.
    const bool again = kind == Reply::nak || now_ms() - last_write_ms >= eot_silence_ms;
    if (!again)
        return;
    if (eot_count >= eot_limit) {
        cancel_transfer(FailReason::eot_unconfirmed);
        return;
    }
    write_eot();
}

void PortUpdate::finish_update()
{
    xmodem_timer->stop();
    qCDebug(trace) << "send data successful ---------" << image_size << sent_bytes << frame.toHex();
    stage = Stage::ended;
    log_port(QStringLiteral("对应设备升级成功"));
    close_port();
    close_image();
    end(PortResult::success, FailReason::ok);
}

// Tells a boot loader still waiting for blocks to stop, then fails the port.
void PortUpdate::cancel_transfer(FailReason reason)
{
    const QByteArray cancel(2, static_cast<char>(xmodem::can));
    write_bytes(cancel);
    if (link && link->isOpen())
        link->flush();
    fail_update(reason);
}

void PortUpdate::fail_update(FailReason reason)
{
    xmodem_timer->stop();
    recv_timer->stop();
    reset_timer->stop();
    pause_timer->stop();
    stage = Stage::ended;
    log_port(QStringLiteral("对应设备升级失败"));
    close_port();
    close_image();
    end(PortResult::failure, reason);
}

void PortUpdate::abort()
{
    if (!running())
        return;
    stop_scan();
    pause_timer->stop();
    reset_timer->stop();
    if (stage == Stage::transferring)
        cancel_transfer(FailReason::aborted);
    else
        fail_update(FailReason::aborted);
}

void PortUpdate::end(PortResult result, FailReason reason)
{
    stage = Stage::ended;
    emit finished(result, reason);
}
