#pragma once

#include "engine/outcome.h"
#include "engine/port_update.h"

#include <QObject>
#include <QString>

// What a run of ports tells while it works, whether it passes over its ports
// once (UpdateRun) or loops over the units of a fixture (FixtureLoop): one
// vocabulary, so that every listener (records, checks, front ends) is
// written once for both.
class RunEvents : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // Each attempt at a port: its start, what it shows and found out, its end.
    void attempt_started(const QString &port, int attempt);
    void log_line(const QString &port, const QString &body);
    void progress(const QString &port, const QString &text, qint64 bytes_sent, qint64 total_bytes);
    void notice(const QString &port, NoticeKind kind, const QString &title, const QString &text);
    void rate_found(const QString &port, int baud);
    void reset_needed(const QString &port);
    void resetting(const QString &port, const QString &by);
    void image_taken(const QString &port, const QString &path, qint64 bytes, const QString &sha256);
    void module_identified(const QString &port, const QString &module_id);
    // The adapter's latency timer (-1: unknown) once the port is open for the
    // handshake, and whether the driver took low latency.
    void latency_known(const QString &port, int timer_ms, bool low_latency);
    // Just before attempt_finished().
    void facts_known(const QString &port, const PortFacts &facts);
    // Also, with attempt 0, for a port that a run ends without starting it.
    void attempt_finished(const QString &port, int attempt, PortResult result, FailReason reason,
                          double seconds);
    void finished();
};
