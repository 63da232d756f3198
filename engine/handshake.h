#pragma once

#include "protocol/ok_reply.h"

#include <QByteArray>

// What the owner makes of the reply to the identity command.
enum class IdentityVerdict {
    update,      // on into the boot loader
    leave_as_is, // the module already has this image: it stays in its application
    refuse,      // the reply names no module: nothing more is sent, the port fails
};

// Where the handshake talks to the line; the owner holds the port.
class HandshakeHost
{
public:
    virtual void write_command(const QByteArray &bytes) = 0; // written and flushed
    virtual void set_rate(int baud) = 0;
    // The identity reply's first meaningful line was read (empty: it had none).
    virtual IdentityVerdict identified(const QByteArray &module_id)
    {
        Q_UNUSED(module_id);
        return IdentityVerdict::update;
    }

protected:
    ~HandshakeHost() = default;
};

enum class HandshakeStep {
    opening,             // the pause after the port opened
    waiting_ok,          // "+++" polls for the application's "OK"
    reading_id,          // the identity command sent, reading its reply
    rebooting,           // "AT+Reboot\r" sent, pausing
    waiting_boot_loader, // update requests until the boot loader's 'C'
    handed_over,         // the boot loader waits for the image
    timed_out,           // no 'C' after the last update request
    left_in_application, // the owner chose not to update this module
    no_identity,         // the owner refused the identity reply
};

// From an opened port to a boot loader waiting for the image: "+++" and
// "AT+Reboot\r" on the "OK" road, or update requests repeated until the
// operator's reset brings up the boot loader. A plain state machine like the
// sender: feed() keeps the module's bytes for the polls (which read one byte
// each while waiting for "OK", everything while waiting for 'C'), tick()
// runs what is due, deadline() says when.
class Handshake
{
public:
    // id_command: asked after the application's "OK", before the reboot.
    Handshake(HandshakeHost &host, int open_pause_ms, int reboot_pause_ms, QByteArray id_command = {});

    void start(qint64 now);
    // After a reset by the fixture: straight to the update requests, as
    // after the last "+++" unanswered.
    void wait_for_boot_loader(qint64 now);
    void feed(const QByteArray &bytes) { pending += bytes; }
    void tick(qint64 now);
    qint64 deadline() const; // -1 once handed over or timed out

    HandshakeStep step() const { return current; }
    quint8 retry_count() const { return retries; }
    bool ended() const
    {
        return current == HandshakeStep::handed_over || current == HandshakeStep::timed_out
               || current == HandshakeStep::left_in_application || current == HandshakeStep::no_identity;
    }

private:
    void poll_ok(qint64 now);
    void poll_boot_loader(qint64 now);
    void request_update();
    void read_id(qint64 now);
    void reboot(qint64 now);

    HandshakeHost &host;
    const int reboot_pause_ms;
    const int open_pause_ms;
    const QByteArray id_command;
    HandshakeStep current = HandshakeStep::opening;
    qint64 due_ms = 0;
    quint8 retries = 0;
    OkReplyState ok_state;
    QByteArray pending;
};
