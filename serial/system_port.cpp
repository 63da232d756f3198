#include "serial/system_port.h"

#include "serial/serial_port.h"

std::unique_ptr<Transport> system_serial_port(const QString &device)
{
    return std::make_unique<SerialPort>(device);
}
