#pragma once

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QVersionNumber>
#include <functional>

// What a port checks besides the transfer: the module's identity before the
// reboot into the boot loader, and after the EOT's ACK that the new
// application answers (and, asked for it, with the expected version).
struct CheckOptions
{
    bool verify = false;             // wait for the new application's "OK"
    int verify_timeout_ms = 30000;
    QByteArray version_command;      // empty: the version is not asked
    QByteArray expect_version;       // a word of the reply to version_command (see version_accepted)
    QVersionNumber min_version;      // null: any version the reply names, or none
    QByteArray id_command;           // empty: the identity is not asked
    QRegularExpression id_pattern;   // anchored: what an identity looks like; empty: any
    // True when the module with this identity already has this image: it
    // is left in its application. Null: every module is updated.
    std::function<bool(const QString &module_id)> already_done;
};

// What one attempt at a port found out, reported just before its end.
struct PortFacts
{
    QString module_id;     // the first meaningful line of the identity reply
    QString crc_mode;      // crc or checksum; empty when no block went out
    int rate = 0;          // the application's rate the scan found; 0 if none
    QString verified;      // transfer, boot or version; empty unless the port ended ok
    QString version_reply; // the new application's answer to the version command
    int latency_ms = -1;   // the adapter's latency timer once the port opened; -1: unknown
    QString reset_by;      // line, command or operator: what brought up the boot loader; empty: no reset
};
