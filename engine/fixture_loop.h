#pragma once

#include "engine/port_loop.h"
#include "engine/run_events.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

// A station's tally of the units it updated.
struct StationCounters
{
    int ok = 0;
    int failed = 0;
    int skipped = 0;         // modules left as they were: not units updated
    double unit_seconds = 0; // all updated units' times added up

    void add(PortResult result, double seconds);
    int units() const { return ok + failed; }
    double per_hour(double elapsed_seconds) const;
    double mean_seconds() const;
};

// A production station: every port runs its fixture loop at once, units are
// numbered per port and in total, and `count` units updated (ok or failed)
// in total end it; a module left as it was does not count.
class FixtureLoop : public RunEvents
{
    Q_OBJECT

public:
    // count 0: until abort(). devices: port name to the device to open, where they differ.
    FixtureLoop(const QStringList &ports, const QString &firmware_path, FixtureOptions options, int count,
                const QMap<QString, QString> &devices = {}, QObject *parent = nullptr);

    void start();
    // Every port stops once its unit in progress has ended.
    void stop();
    // Every port stops; a unit in progress is cancelled and ends as aborted.
    void abort();

    bool running() const { return started && !ended; }
    const StationCounters &counters() const { return tally; }
    double elapsed_seconds() const { return clock.isValid() ? clock.elapsed() / 1000.0 : 0.0; }
    // Units done on this port.
    int units_of(const QString &port) const;

signals:
    void unit_started(const QString &port, int unit, int total);
    void unit_ended(const QString &port, int unit, int total, PortResult result, FailReason reason,
                    double seconds);
    void module_gone(const QString &port);

private:
    void add_port(const QString &port, const QString &firmware_path, FixtureOptions options);
    void connect_update(const QString &port, PortUpdate *update, int attempt);
    void module_ready(int index);
    void loop_stopped();

    QVector<PortLoop *> loops;
    QVector<int> current_total; // each port's unit in progress, as numbered in total
    StationCounters tally;
    QElapsedTimer clock;
    int count;
    int retries;
    int units_started = 0; // taken towards the count: ended updated or still in progress
    int numbered = 0;
    bool started = false;
    bool ended = false;
};
