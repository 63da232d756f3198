#pragma once

#include "serial/transport.h"

// The system's serial port of the device (SerialPort), as a TransportFactory
// makes it; it asks the driver for low latency when it opens.
std::unique_ptr<Transport> system_serial_port(const QString &device);
// The same, but asking low latency only when low_latency is true.
TransportFactory system_serial_ports(bool low_latency);
