#include "engine/handshake.h"

#include "engine/reply_lines.h"
#include "platform/trace.h"
#include "protocol/wire.h"

namespace {

constexpr int id_reply_ms = 1000;

} // namespace

Handshake::Handshake(HandshakeHost &host, int open_pause_ms, int reboot_pause_ms, QByteArray id_command)
    : host(host), reboot_pause_ms(reboot_pause_ms), open_pause_ms(open_pause_ms), id_command(std::move(id_command))
{
}

void Handshake::start(qint64 now)
{
    current = HandshakeStep::opening;
    due_ms = now + qMax(open_pause_ms, 0);
}

qint64 Handshake::deadline() const
{
    return ended() ? -1 : due_ms;
}

void Handshake::tick(qint64 now)
{
    if (current == HandshakeStep::reading_id) {
        read_id(now); // the reply is looked at as it arrives
        return;
    }
    if (ended() || now < due_ms)
        return;
    switch (current) {
    case HandshakeStep::opening:
        pending.clear(); // what the port held before "+++" is stale
        current = HandshakeStep::waiting_ok;
        host.write_command(wire::escape_sequence());
        due_ms = now + wire::first_ok_poll_ms;
        break;
    case HandshakeStep::waiting_ok:
        poll_ok(now);
        break;
    case HandshakeStep::rebooting:
        host.set_rate(wire::boot_loader_rate);
        request_update();
        pending.clear(); // the boot loader's 'C' comes after the request
        current = HandshakeStep::handed_over;
        break;
    case HandshakeStep::waiting_boot_loader:
        poll_boot_loader(now);
        break;
    default:
        break;
    }
}

// One byte per poll; "+++" again whenever a poll finds nothing.
void Handshake::poll_ok(qint64 now)
{
    const int read_length = pending.isEmpty() ? 0 : 1;
    const unsigned char ch = read_length == 1 ? static_cast<unsigned char>(pending.at(0)) : '\n';
    if (read_length == 1)
        pending.remove(0, 1);
    const OkPoll poll = ok_reply_step(ok_state, read_length, ch);
    if (poll == OkPoll::nothing_read)
        host.write_command(wire::escape_sequence());
    if (poll == OkPoll::recognised && !id_command.isEmpty()) {
        pending.clear();
        host.write_command(id_command);
        current = HandshakeStep::reading_id;
        due_ms = now + id_reply_ms;
        return;
    }
    if (poll == OkPoll::recognised) {
        reboot(now);
        return;
    }
    ++retries;
    qCDebug(trace) << "timer_count = " << int(retries);
    if (retries == wire::ok_poll_limit) {
        wait_for_boot_loader(now);
        return;
    }
    host.write_command(wire::escape_sequence());
    due_ms = now + wire::ok_poll_ms;
}

void Handshake::wait_for_boot_loader(qint64 now)
{
    host.set_rate(wire::boot_loader_rate);
    request_update();
    current = HandshakeStep::waiting_boot_loader;
    pending.clear();
    retries = 0;
    due_ms = now + wire::reset_poll_ms;
}

// Everything read since the last poll is one reply: a leading 'C' is the
// boot loader (and is consumed), anything else asks again.
void Handshake::poll_boot_loader(qint64 now)
{
    if (retries == wire::reset_poll_limit) {
        current = HandshakeStep::timed_out;
        return;
    }
    const QByteArray reply = std::exchange(pending, QByteArray());
    qCDebug(trace) << reply.toHex();
    if (!reply.isEmpty() && reply.at(0) == 'C') {
        current = HandshakeStep::handed_over;
        return;
    }
    host.set_rate(wire::boot_loader_rate);
    request_update();
    ++retries;
    due_ms = now + wire::reset_poll_ms;
}

void Handshake::request_update()
{
    host.write_command(wire::update_request());
}

void Handshake::reboot(qint64 now)
{
    host.write_command(wire::reboot_command());
    current = HandshakeStep::rebooting;
    due_ms = now + qMax(reboot_pause_ms, 0);
}

// The first meaningful line of the reply, or whatever came by the deadline.
void Handshake::read_id(qint64 now)
{
    bool found = false;
    const QByteArray id = meaningful_line(pending, id_command, now >= due_ms, &found);
    if (!found && now < due_ms)
        return;
    pending.clear();
    switch (host.identified(id)) {
    case IdentityVerdict::update:
        reboot(now);
        break;
    case IdentityVerdict::leave_as_is:
        current = HandshakeStep::left_in_application;
        break;
    case IdentityVerdict::refuse:
        current = HandshakeStep::no_identity;
        break;
    }
}
