#include "serial/system_port.h"

#include "serial/serial_port.h"

std::unique_ptr<Transport> system_serial_port(const QString &device)
{
    return std::make_unique<SerialPort>(device);
}

TransportFactory system_serial_ports(bool low_latency)
{
    return [low_latency](const QString &device) {
        auto port = std::make_unique<SerialPort>(device);
        port->setLowLatency(low_latency);
        return std::unique_ptr<Transport>(std::move(port));
    };
}
