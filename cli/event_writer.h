#pragma once

#include "engine/run_ledger.h"

#include <QFile>
#include <QJsonObject>
#include <QString>
#include <cstdio>

// Writes text to a standard stream at once. A stream whose reader went away
// takes nothing more and is not an error of the run.
void put(std::FILE *stream, const QString &text);

// Everything a run reports: human text, JSON Lines on standard output and
// the log file. Every write to the log file is checked; the first failure is
// told on standard error and as a `log_error` event.
class EventWriter
{
public:
    explicit EventWriter(bool json) : json(json) {}

    // Opens the log file for appending and writes the run's header; the
    // reason when either fails.
    QString start_log(const QString &path, const QString &header);
    bool log_failed() const { return log_broken; }

    void event(const QJsonObject &object);
    // Human text: standard output, or standard error when JSON has it.
    void human(const QString &text);
    void log_line(const QString &port, const QString &body);
    void to_file(const QString &text);

    // sha256: of the bytes the port was sent, empty when it was sent none.
    void port_end(const PortSummary &end, const QString &sha256);
    // The last event of a run.
    void summary(const RunLedger &ledger, double seconds);

private:
    bool write_log(const QString &text);

    bool json;
    QFile log_file;
    bool log_broken = false;
};
