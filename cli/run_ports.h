#pragma once

#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

// The ports of a run as named, each resolved to its device. A name of a
// device named before it is left out of the run.
struct RunPorts
{
    QStringList labels;                 // in the order named
    QMap<QString, QString> devices;     // label to the device opened
    QStringList missing;                // labels whose device does not exist (yet)
    QMap<QString, QString> second_names; // label left out to the label of its device
    QString unknown;                    // the first bare name the system does not list
};

RunPorts resolve_run_ports(const QStringList &names);

// Waits up to a number of seconds for the missing ports of a run, then
// resolves every name again, so that a port that appeared as a second name
// of another is merged into it. `done` is called from the event loop.
class PortWait
{
public:
    PortWait(const QStringList &labels, double seconds);

    std::function<void(const RunPorts &ports)> done;
    void start();
    void stop() { tick.stop(); }
    double seconds_waited() const { return waited.isValid() ? waited.elapsed() / 1000.0 : 0.0; }

private:
    void check();

    QStringList labels;
    qint64 limit_ms;
    QElapsedTimer waited;
    QTimer tick;
};
