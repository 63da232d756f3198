#pragma once

#include "engine/outcome.h"
#include "engine/port_update.h"
#include "engine/run_events.h"
#include "engine/run_ledger.h"

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

struct RunOptions
{
    bool parallel = false;   // every port at once; a failure ends only its port
    bool keep_going = false; // a failed port does not end a one-after-another run
    int retries = 0;         // further attempts of a failed port, each from its scan
    UpdateOptions update;
    QMap<QString, QString> devices; // port name to the device to open, where they differ
};

// The ticked ports of one press of "update": one after another, where the
// first failure ends the run, or all at once in parallel mode. Every port
// ends exactly once with port_finished, and finished comes after the last;
// further attempts and the next port start from the event loop.
class UpdateRun : public RunEvents
{
    Q_OBJECT

public:
    UpdateRun(const QStringList &ports, const QString &firmware_path, RunOptions options = {},
              QObject *parent = nullptr);
    ~UpdateRun() override;

    void start();
    // The image chosen now; a one-after-another run reads it when it goes on
    // to its next port, as a new press of "update" would.
    void set_firmware_path(const QString &path) { firmware_path = path; }
    // Every unfinished port ends as `aborted`, the others are skipped.
    void abort();

    bool running() const { return started && !ended; }
    const QVector<PortSummary> &summary() const { return results; }
    // A failure that a further attempt cannot mend.
    static bool final_failure(FailReason reason);
    // The update of a port while it runs, else null.
    PortUpdate *update_of(const QString &port) const;
    PortUpdate *current_update() const;

    // As many as named: only the window has a fixed number of rows.
    QStringList update_ports;
    int port_count = 0;
    int current_port = 0;

signals:
    void port_finished(const QString &port, PortResult result, FailReason reason, double seconds);

private:
    void start_port(int index);
    void start_later(int index);
    void port_ended(int index, PortResult result, FailReason reason);
    void record_end(int index, PortResult result, FailReason reason);
    void skip_from(int index);
    void finish_if_complete();
    qint64 now_ms() const { return clock->now_ms(); }

    QString firmware_path;
    RunOptions options;
    QVector<QPointer<PortUpdate>> updates;
    SteadyClock own_clock;
    Clock *clock;
    QVector<qint64> started_at; // the first attempt's start, for the port's whole time
    QVector<qint64> attempt_started_at;
    QVector<int> attempts;
    QVector<PortSummary> results;
    RunLedger ledger;
    bool started = false;
    bool ended = false;
};
