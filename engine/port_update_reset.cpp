// The reset ladder of a module whose application does not answer: each
// rung the fixture allows (the line sequence, the command) is followed by
// the update requests until the boot loader's 'C', as after the operator's
// press; when none comes, the next rung, the operator's prompt the last.

#include "engine/messages.h"
#include "engine/port_update.h"
#include "platform/platform.h"

#include <QProcess>

void PortUpdate::start_rung(qint64 now)
{
    const ResetRung rung = rungs.at(rung_at);
    if (rung != ResetRung::operator_press)
        emit resetting(QLatin1String(reset_rung_word(rung)));
    switch (rung) {
    case ResetRung::line:
        log_port(messages::reset_by_line(options.reset.sequence));
        stage = Stage::resetting;
        line_run = std::make_unique<LineSequenceRun>(parse_reset_sequence(options.reset.sequence));
        line_run->start(now);
        step_reset(now);
        break;
    case ResetRung::command:
        stage = Stage::resetting;
        start_reset_command(now);
        break;
    case ResetRung::operator_press:
        log(messages::app_damaged());
        emit reset_needed();
        stage = Stage::handshake;
        handshake = std::make_unique<Handshake>(static_cast<HandshakeHost &>(*this), options.open_pause_ms,
                                                options.reboot_pause_ms, options.checks.id_command);
        handshake->start(now);
        break;
    }
}

void PortUpdate::step_reset(qint64 now)
{
    if (port_failed()) {
        fail(FailReason::port_lost);
        return;
    }
    if (line_run) {
        line_run->tick(now, [this](const LineStep &step) {
            if (step.kind == LineStep::Kind::dtr)
                link->setDataTerminalReady(step.level);
            else
                link->setRequestToSend(step.level);
        });
        if (line_run->done()) {
            line_run.reset();
            await_boot_loader(now);
        }
    } else if (reset_command_over(now)) {
        await_boot_loader(now);
    }
}

void PortUpdate::await_boot_loader(qint64 now)
{
    stage = Stage::handshake;
    handshake = std::make_unique<Handshake>(static_cast<HandshakeHost &>(*this), options.open_pause_ms,
                                            options.reboot_pause_ms);
    handshake->wait_for_boot_loader(now);
}

// The rate came without a scan (--baud, a loop's probe) and the application
// left every "+++" unanswered: it is as dead as one no scan found, so the
// fixture's rungs come first and the operator is asked, not left to guess.
// False when the ladder is under way already or the rate was scanned.
bool PortUpdate::start_ladder_unscanned(qint64 now)
{
    if (options.known_rate <= 0 || rung_at >= 0)
        return false;
    damaged = 1;
    rungs = reset_rungs(options.reset);
    rung_at = 0;
    if (rungs.front() != ResetRung::operator_press) {
        start_rung(now);
        return true;
    }
    // The update requests under way are the operator's 10 s.
    log(messages::app_damaged());
    emit reset_needed();
    return false;
}

// After a rung that brought no boot loader; false at the top of the ladder.
bool PortUpdate::climb_ladder(qint64 now)
{
    if (rung_at < 0 || rung_at + 1 >= rungs.size())
        return false;
    log_port(messages::no_boot_loader_after(QLatin1String(reset_rung_word(rungs.at(rung_at)))));
    ++rung_at;
    start_rung(now);
    return true;
}

ResetFields PortUpdate::reset_fields() const
{
    ResetFields fields;
    fields.port = name;
    fields.device = device_name(options.device.isEmpty() ? name : options.device);
    const UsbPlace place = usb_place(fields.device);
    fields.adapter_serial = place.adapter_serial;
    fields.hub_location = place.hub_location;
    fields.hub_port = place.hub_port;
    return fields;
}

void PortUpdate::start_reset_command(qint64 now)
{
    const QStringList words = reset_command_words(options.reset.command, reset_fields());
    log_port(messages::reset_by_command(words.join(QLatin1Char(' '))));
    auto *process = new QProcess(this);
    reset_process = process;
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &PortUpdate::service);
    connect(process, &QProcess::errorOccurred, this, &PortUpdate::service);
    reset_command_due_ms = now + options.reset.command_timeout_ms;
    process->start(words.value(0), words.mid(1));
}

// True once the command has ended, failed to start or run out of time;
// its end is logged.
bool PortUpdate::reset_command_over(qint64 now)
{
    QProcess *process = reset_process;
    if (!process)
        return true;
    QString status;
    if (process->error() == QProcess::FailedToStart)
        status = QStringLiteral("not started (%1)").arg(process->errorString());
    else if (process->state() == QProcess::NotRunning)
        status = process->exitStatus() == QProcess::NormalExit
                     ? QStringLiteral("exit status %1").arg(process->exitCode())
                     : QStringLiteral("crashed");
    else if (now >= reset_command_due_ms)
        status = QStringLiteral("timed out after %1 ms, killed").arg(options.reset.command_timeout_ms);
    else
        return false;
    disconnect(process, nullptr, this, nullptr);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
    }
    process->deleteLater();
    reset_process = nullptr;
    log_port(messages::reset_command_ended(status));
    return true;
}
