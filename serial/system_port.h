#pragma once

#include "serial/transport.h"

// The system's serial port of the device (SerialPort), as a TransportFactory makes it.
std::unique_ptr<Transport> system_serial_port(const QString &device);
