#include "cli/run_ports.h"

#include "cli/port_names.h"

RunPorts resolve_run_ports(const QStringList &names)
{
    RunPorts ports;
    QMap<QString, QString> label_of; // identity to the first label naming it
    for (const QString &name : names) {
        const NamedPort port = resolve_port(name);
        if (label_of.contains(port.identity)) {
            if (label_of.value(port.identity) != name)
                ports.second_names.insert(name, label_of.value(port.identity));
            continue;
        }
        label_of.insert(port.identity, name);
        ports.labels << name;
        ports.devices.insert(name, port.device);
        if (!port.exists)
            ports.missing << name;
        if (!port.exists && !name.startsWith(QLatin1Char('/')) && ports.unknown.isEmpty())
            ports.unknown = name;
    }
    return ports;
}

PortWait::PortWait(const QStringList &labels, double seconds)
    : labels(labels), limit_ms(qint64(seconds * 1000))
{
    tick.setInterval(200);
    QObject::connect(&tick, &QTimer::timeout, [this] { check(); });
}

void PortWait::start()
{
    waited.start();
    QTimer::singleShot(0, &tick, [this] { check(); });
}

void PortWait::check()
{
    const RunPorts ports = resolve_run_ports(labels);
    if (!ports.missing.isEmpty() && waited.elapsed() < limit_ms) {
        if (!tick.isActive())
            tick.start();
        return;
    }
    tick.stop();
    if (done)
        done(ports);
}
