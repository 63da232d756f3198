#include "engine/port_update.h"

#include "engine/messages.h"
#include "platform/trace.h"
#include "protocol/framing.h"
#include "serial/system_port.h"
#include "serial/scan_thread.h"

#include <QProcess>
#include <QTimer>
#include <climits>
#include <utility>

namespace {

constexpr int scan_stop_wait_ms = 2000;
// A caller's clock (tests, the fuzzer) may jump: it is looked at this often.
constexpr qint64 foreign_clock_check_ms = 20;

} // namespace

PortUpdate::PortUpdate(const QString &port_name, const QString &firmware_path, UpdateOptions options,
                       QObject *parent)
    : QObject(parent),
      name(port_name),
      firmware_path(firmware_path),
      options(std::move(options)),
      clock(this->options.clock ? this->options.clock : &own_clock),
      deadline_timer(new QTimer(this))
{
    register_outcome_types();
    if (!this->options.open_transport)
        this->options.open_transport = system_serial_ports(this->options.low_latency);
    deadline_timer->setSingleShot(true);
    connect(deadline_timer, &QTimer::timeout, this, &PortUpdate::service);
}

PortUpdate::~PortUpdate()
{
    stop_scan();
    // Closing the window destroys its run: a module still receiving hears
    // CAN CAN before the port closes, as after an abort.
    if (stage == Stage::transferring && sender)
        sender->cancel(FailReason::aborted);
    close_port();
}

bool PortUpdate::waiting() const
{
    return deadline_timer->isActive() || stage == Stage::scanning;
}

bool PortUpdate::waiting_for_boot_loader() const
{
    return stage == Stage::handshake && handshake && handshake->step() == HandshakeStep::waiting_boot_loader;
}

quint8 PortUpdate::block_number() const
{
    if (!sender || sender->phase() == XmodemPhase::start)
        return 1;
    return static_cast<quint8>(sender->block_number() + 1);
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

// ---- update control -----------------------------------------------------

void PortUpdate::send_file()
{
    if (stage != Stage::idle)
        return;
    if (prepare_update() != 0) {
        image_failed();
        return;
    }
    stage = Stage::scanning;
    if (options.known_dead) {
        QTimer::singleShot(0, this, [this] { get_scan_result(false, QString::number(wire::boot_loader_rate), 0, 0); });
        return;
    }
    if (options.known_rate > 0) {
        QTimer::singleShot(0, this, [this] { get_scan_result(true, QString::number(options.known_rate), 0, 0); });
        return;
    }
    auto *thread = new Thread(options.device.isEmpty() ? name : options.device, 0, options.open_transport);
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
    hand_over(now_ms());
    arm();
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
    if (!image && prepare_update() != 0) {
        image_failed();
        return;
    }
    if (scan_thread) {
        scan_open_failure = scan_thread->open_failure();
        disconnect(scan_thread, nullptr, this, nullptr);
        scan_thread->exit(0);
        scan_thread = nullptr;
    }
    if (open_failed == 1) {
        this->open_failed();
        image.reset();
        end(PortResult::failure, reason_for(scan_open_failure));
        return;
    }

    found_rate = rate;
    rungs.clear();
    rung_at = -1;
    reset_by.clear();
    if (!found) {
        damaged = 1;
        rungs = reset_rungs(options.reset);
        rung_at = 0;
        if (rungs.front() == ResetRung::operator_press) {
            log(messages::app_damaged());
            emit reset_needed();
        }
    } else {
        emit rate_found(rate.toInt());
    }

    if (open_update_port() != 0) {
        scan_open_failure = link ? link->openFailure() : OpenFailure::other;
        this->open_failed();
        stage = Stage::open_failed;
        open_failed_until_ms = now_ms() + options.open_pause_ms;
        arm();
        return;
    }
    if (!found && rungs.front() != ResetRung::operator_press) {
        start_rung(now_ms());
        arm();
        return;
    }
    stage = Stage::handshake;
    HandshakeHost &host = *this;
    handshake = std::make_unique<Handshake>(host, options.open_pause_ms, options.reboot_pause_ms,
                                            options.checks.id_command);
    handshake->start(now_ms());
    arm();
}

// Reads what the module sent, hands it to the machine at work and runs what
// is due; the port's input and the one timer both come here.
void PortUpdate::service()
{
    if (in_service)
        return;
    in_service = true;
    const qint64 now = now_ms();
    const QByteArray input = link && link->isOpen() ? link->readAll() : QByteArray();
    switch (stage) {
    case Stage::open_failed:
        if (now >= open_failed_until_ms) {
            image.reset();
            end(PortResult::failure, reason_for(scan_open_failure));
        }
        break;
    case Stage::resetting:
        step_reset(now);
        break;
    case Stage::handshake:
        step_handshake(input, now);
        break;
    case Stage::transferring:
        step_sender(input, now);
        break;
    case Stage::checking:
        step_boot_check(input, now);
        break;
    default:
        break;
    }
    in_service = false;
    arm();
}

void PortUpdate::step_handshake(const QByteArray &input, qint64 now)
{
    if (port_failed()) {
        fail(FailReason::port_lost);
        return;
    }
    const HandshakeStep before = handshake->step();
    handshake->feed(input);
    handshake->tick(now);
    if (before == HandshakeStep::opening && handshake->step() != HandshakeStep::opening && damaged != 1)
        log(messages::update_starts(name));
    if (before == HandshakeStep::waiting_ok && handshake->step() == HandshakeStep::waiting_boot_loader
        && start_ladder_unscanned(now))
        return;
    if (handshake->step() == HandshakeStep::handed_over) {
        if (rung_at >= 0)
            reset_by = QLatin1String(reset_rung_word(rungs.at(rung_at)));
        hand_over(now);
    } else if (handshake->step() == HandshakeStep::timed_out && climb_ladder(now)) {
        return;
    } else if (handshake->step() == HandshakeStep::timed_out) {
        stage = Stage::ended;
        log_port(messages::transfer_failed());
        close_port();
        image.reset();
        end(PortResult::failure, FailReason::reset_timeout);
        tell(NoticeKind::warning, messages::warning_title(), messages::reset_timeout());
    } else if (handshake->step() == HandshakeStep::left_in_application) {
        leave_in_application();
    } else if (handshake->step() == HandshakeStep::no_identity) {
        fail(FailReason::no_identity);
    }
}

void PortUpdate::hand_over(qint64 now)
{
    stage = Stage::transferring;
    sender = std::make_unique<XmodemSender>(image->bytes, [this](const QByteArray &bytes) { write_bytes(bytes); });
    sender->start(now);
}

void PortUpdate::step_sender(const QByteArray &input, qint64 now)
{
    const bool before_first_block = sender->phase() == XmodemPhase::start;
    sender->feed(input, now);
    // A decisive reply counts even when the line went down right after it.
    if (sender->end() == SenderEnd::running && port_failed()) {
        fail(FailReason::port_lost);
        return;
    }
    sender->tick(now);
    if (before_first_block && sender->phase() != XmodemPhase::start && sender->crc() && damaged == 1)
        log(messages::reset_succeeded());
    if (sender->bytes_sent() != progress_shown) {
        progress_shown = sender->bytes_sent();
        // What is shown is whole per cents: a block that leaves them as they
        // were tells nobody (a large image has thousands of blocks a per cent).
        const qint64 percent = progress_percent(progress_shown, image_size);
        if (std::exchange(percent_shown, percent) != percent)
            emit progress(progress_text(progress_shown, image_size), progress_shown, image_size);
    }
    switch (sender->end()) {
    case SenderEnd::running:
        break;
    case SenderEnd::success:
        qCDebug(trace) << "send data successful ---------" << image_size << progress_shown;
        transferred(now);
        break;
    case SenderEnd::failure:
        fail(sender->reason());
        break;
    }
}

// One timer, armed for the next deadline of the machine at work.
void PortUpdate::arm()
{
    qint64 due = -1;
    if (stage == Stage::handshake && handshake)
        due = handshake->deadline();
    else if (stage == Stage::transferring && sender)
        due = sender->deadline();
    else if (stage == Stage::checking && boot_check)
        due = boot_check->deadline();
    else if (stage == Stage::open_failed)
        due = open_failed_until_ms;
    else if (stage == Stage::resetting)
        due = line_run ? line_run->deadline() : reset_command_due_ms;
    if (due < 0) {
        deadline_timer->stop();
        return;
    }
    // A timer due no later is kept: it finds nothing to do and arms again.
    // Most blocks move the deadline on by one block's time, and starting
    // the timer anew for each would cost more than the rare early wake-up.
    if (deadline_timer->isActive() && timer_due_ms <= due)
        return;
    const qint64 now = now_ms();
    qint64 wait = qMax<qint64>(0, due - now);
    if (options.clock)
        wait = qMin(wait, foreign_clock_check_ms);
    timer_due_ms = now + wait;
    deadline_timer->start(static_cast<int>(qMin<qint64>(wait, INT_MAX)));
}

void PortUpdate::fail(FailReason reason)
{
    stage = Stage::ended;
    log_port(messages::port_failed());
    close_port();
    image.reset();
    end(PortResult::failure, reason);
}

void PortUpdate::abort()
{
    if (!running())
        return;
    stop_scan();
    if (reset_process)
        reset_process->kill();
    if (stage == Stage::transferring && sender)
        sender->cancel(FailReason::aborted);
    fail(FailReason::aborted);
}

void PortUpdate::end(PortResult result, FailReason reason)
{
    deadline_timer->stop();
    stage = Stage::ended;
    emit facts_known(facts(result));
    emit finished(result, reason);
}
