#include "cli/port_names.h"

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>

namespace {

QStringList links_to(const QString &folder, const QString &device)
{
    QStringList links;
    const QString target = device_identity(device);
    QDir dir(folder);
    for (const QFileInfo &entry : dir.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (!target.isEmpty() && entry.canonicalFilePath() == target)
            links << entry.absoluteFilePath();
    }
    return links;
}

} // namespace

QVector<PortDetails> list_serial_ports()
{
    QVector<PortDetails> ports;
    for (const AdapterDetails &adapter : list_adapter_details()) {
        PortDetails port;
        port.adapter = adapter;
        port.by_id = links_to(QStringLiteral("/dev/serial/by-id"), adapter.system_location);
        port.by_path = links_to(QStringLiteral("/dev/serial/by-path"), adapter.system_location);
        ports << port;
    }
    return ports;
}

NamedPort resolve_port(const QString &argument)
{
    NamedPort port;
    port.label = argument;
    if (argument.startsWith(QLatin1String("serial:"))) {
        const QString wanted = argument.mid(7);
        for (const AdapterDetails &adapter : list_adapter_details()) {
            if (!wanted.isEmpty() && adapter.serial_number == wanted) {
                port.device = adapter.system_location;
                break;
            }
        }
    } else {
        port.device = device_name(argument);
    }
    port.exists = !port.device.isEmpty() && device_exists(port.device);
    port.identity = port.exists ? device_identity(port.device) : (port.device.isEmpty() ? argument : port.device);
    return port;
}
