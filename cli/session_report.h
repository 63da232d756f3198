#pragma once

#include "cli/check_events.h"
#include "cli/event_writer.h"
#include "cli/run_history.h"
#include "engine/run_session.h"

#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>

struct CommandLine;

// The session a command line asks for: its mode, checks and bounds, with
// the image read once. `devices`: each port's device, as resolved.
RunRequest request_of(const CommandLine &line, std::shared_ptr<const Image> image, const ReleaseApproval &release,
                      const QStringList &ports, const QMap<QString, QString> &devices);

// What a command-line run or watch reports of a session: every event on
// the writer, its checks' findings and its history rows. The parts that
// only one of them has (the ports' wait and ledger, the station's counters)
// stay with their front end.
class SessionReport
{
public:
    SessionReport(const CommandLine &line, const RunRequest &request, EventWriter &writer);

    // The log file's header; false, after saying why, when it cannot be written.
    bool start_log();
    // The history opens, then the first event; more: the fields of this kind of run.
    void run_start(const QJsonObject &more);
    // After run_start().
    void watch(RunSession *session);
    RunHistory &history() { return *rows; }

    EventWriter &writer;
    CheckEvents checks{[this](const QJsonObject &event) { writer.event(event); }};

private:
    void event(const QString &name, QJsonObject fields);
    void progress(const QString &port, const QString &text, qint64 sent, qint64 total);
    void unit_ended(const QString &port, int unit, int total, PortResult result, FailReason reason, double s);

    const CommandLine &line;
    const RunRequest &request;
    std::unique_ptr<RunHistory> rows; // every port's end is a row, written by a thread of its own
    QSet<QString> slow_adapters;           // warned of once each
    QMap<QString, int> rates;              // the application's rate each port was found at
    QMap<QString, QElapsedTimer> sending;  // since each port's first block
    QMap<QString, int> last_percent;  // per port: progress is told once per percent
};
