#pragma once

#include "engine/handshake.h"

#include <QByteArray>
#include <QVector>
#include <QVersionNumber>

enum class BootStep {
    settling,        // the rate just set, before "+++"
    probing,         // "+++" sent, waiting for the application's "OK"
    asking_version,  // the version command sent, waiting for its reply
    booted,          // the application answered "OK"
    version_matched, // ... and its version reply passed the version checks
    not_booted,      // no "OK" within the time allowed
    wrong_version,   // the version reply failed them, or came not in time
};

// After the EOT's ACK: waits for the new application. "+++" at each rate in
// turn (the rate the scan found first) until the application answers "OK",
// within the time allowed; then, if asked for, the version command and its
// reply, checked by version_accepted() (reply_lines.h) once a line of it
// passes, or once it ended (a final AT result) or its time is up. A plain
// state machine like the handshake: feed() keeps the bytes, tick() runs
// what is due (and looks at the bytes at once), deadline() says when.
class BootCheck
{
public:
    BootCheck(HandshakeHost &host, QVector<int> rates, int timeout_ms, QByteArray version_command,
              QByteArray expect_version, QVersionNumber min_version = {});

    void start(qint64 now);
    void feed(const QByteArray &bytes) { pending += bytes; }
    void tick(qint64 now);
    qint64 deadline() const; // -1 once ended

    BootStep step() const { return current; }
    bool ended() const;
    bool passed() const { return current == BootStep::booted || current == BootStep::version_matched; }
    QByteArray version_reply() const { return reply; }

    // The rates to probe: the one found first, then the scan's others.
    static QVector<int> rates_from(int found_rate);

private:
    void settle(qint64 now);
    void probe(qint64 now);
    void answered(qint64 now);

    HandshakeHost &host;
    const QVector<int> rates;
    const int timeout_ms;
    const QByteArray version_command;
    const QByteArray expect_version;
    const QVersionNumber min_version;
    BootStep current = BootStep::settling;
    int rate_index = 0;
    qint64 due_ms = 0;
    qint64 give_up_ms = 0;
    QByteArray pending;
    QByteArray reply;
};
