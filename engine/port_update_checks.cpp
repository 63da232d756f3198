// What a port checks besides the transfer: the module's identity during the
// handshake and the boot check after the EOT's ACK.

#include "engine/messages.h"
#include "engine/port_update.h"
#include "engine/reply_lines.h"

// Only a real identity is recorded and looked up; any other reply fails
// the port while the module is still in its application.
IdentityVerdict PortUpdate::identified(const QByteArray &id)
{
    const QString reply = QString::fromUtf8(id);
    switch (classify_id_reply(id, options.checks.id_pattern)) {
    case IdReply::empty:
    case IdReply::at_status:
        log_port(messages::no_module_id(reply));
        return IdentityVerdict::refuse;
    case IdReply::unmatched:
        log_port(messages::module_id_unmatched(reply));
        return IdentityVerdict::refuse;
    case IdReply::identity:
        break;
    }
    module_id = reply;
    log_port(messages::module_id_line(module_id));
    emit module_identified(module_id);
    const bool done = options.checks.already_done && options.checks.already_done(module_id);
    return done ? IdentityVerdict::leave_as_is : IdentityVerdict::update;
}

// A module that already has this image stays in its application.
void PortUpdate::leave_in_application()
{
    stage = Stage::ended;
    log_port(messages::already_done());
    close_port();
    image.reset();
    end(PortResult::skipped, FailReason::already_done);
}

// The EOT was acknowledged: the port is ok now, or once the new
// application answered.
void PortUpdate::transferred(qint64 now)
{
    if (!options.checks.verify) {
        stage = Stage::ended;
        log_port(messages::port_updated());
        close_port();
        image.reset();
        end(PortResult::success, FailReason::ok);
        return;
    }
    stage = Stage::checking;
    log_port(messages::waiting_for_application());
    HandshakeHost &host = *this;
    boot_check = std::make_unique<BootCheck>(
        host, BootCheck::rates_from(damaged == 1 ? 0 : found_rate.toInt()), options.checks.verify_timeout_ms,
        options.checks.version_command, options.checks.expect_version, options.checks.min_version);
    boot_check->start(now);
}

void PortUpdate::step_boot_check(const QByteArray &input, qint64 now)
{
    // A line that went away after the transfer never showed the new
    // application either.
    if (port_failed()) {
        log_port(messages::not_booted());
        fail(FailReason::not_booted);
        return;
    }
    boot_check->feed(input);
    boot_check->tick(now);
    switch (boot_check->step()) {
    case BootStep::booted:
    case BootStep::version_matched:
        if (!boot_check->version_reply().isEmpty())
            log_port(messages::version_line(QString::fromUtf8(boot_check->version_reply())));
        stage = Stage::ended;
        log_port(messages::port_updated());
        close_port();
        image.reset();
        end(PortResult::success, FailReason::ok);
        break;
    case BootStep::not_booted:
        log_port(messages::not_booted());
        fail(FailReason::not_booted);
        break;
    case BootStep::wrong_version:
        log_port(messages::wrong_version(QString::fromUtf8(boot_check->version_reply())));
        fail(FailReason::wrong_version);
        break;
    default:
        break;
    }
}

PortFacts PortUpdate::facts(PortResult result) const
{
    PortFacts known;
    known.module_id = module_id;
    if (sender && sender->phase() != XmodemPhase::start)
        known.crc_mode = sender->crc() ? QStringLiteral("crc") : QStringLiteral("checksum");
    known.rate = damaged == 1 ? 0 : found_rate.toInt();
    known.latency_ms = latency_ms;
    known.reset_by = reset_by;
    if (boot_check)
        known.version_reply = QString::fromUtf8(boot_check->version_reply());
    if (result == PortResult::success) {
        if (!boot_check)
            known.verified = QStringLiteral("transfer");
        else
            known.verified = boot_check->step() == BootStep::version_matched ? QStringLiteral("version")
                                                                            : QStringLiteral("boot");
    }
    return known;
}
