#pragma once

#include "cli/live_lines.h"
#include "engine/run_ledger.h"
#include "platform/console.h"

#include <QFile>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <memory>

// Everything a run reports: human text, JSON Lines on standard output and
// the log file. Every write to the log file is checked; the first failure is
// told on standard error and as a `log_error` event. Human text goes to
// standard output, or to standard error when JSON has standard output; on a
// terminal each port also has a line of its state that changes in place.
class EventWriter
{
public:
    // quiet: of the human text only failures and the summary.
    explicit EventWriter(bool json, bool quiet = false);

    // Opens the log file for appending and writes the run's header; the
    // reason when either fails.
    QString start_log(const QString &path, const QString &header);
    bool log_failed() const { return log_broken; }

    void event(const QJsonObject &object);
    void human(const QString &text);
    // Human text that even quiet shows: a failure, the summary.
    void tell(const QString &text);
    // The port's state line, on a terminal; false elsewhere (nothing is shown).
    bool status(const QString &port, const QString &text);
    bool live() const { return live_lines != nullptr; }
    void log_line(const QString &port, const QString &body);
    void to_file(const QString &text);

    // sha256: of the bytes the port was sent, empty when it was sent none.
    // more: further keys of the event (what the port's checks found out).
    void port_end(const PortSummary &end, const QString &sha256, const QJsonObject &more = {});
    // The last event of a run, and its line for people: "3 ok, 1 failed:
    // ttyUSB2 (no_start_request)".
    void summary(const RunLedger &ledger, double seconds, bool aborted);

private:
    bool write_log(const QString &text);

    bool json;
    bool quiet;
    std::FILE *human_stream;
    std::unique_ptr<LiveLines> live_lines;
    QFile log_file;
    bool log_broken = false;
};
