#pragma once

// The serial ports the system has, and the names and devices of a port.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

// Names of the machine's serial ports followed by the entries of the
// environment variable TESSIK_EXTRA_PORTS (paths separated by ':', on
// Windows by ';'), each
// listed under its full path. TESSIK_SYSTEM_PORTS=off leaves the machine's
// own ports out (tests and demos use it).
QStringList list_port_names();

// ttyUSB2 before ttyUSB10: runs of digits compare as numbers.
bool natural_less(const QString &a, const QString &b);

// What the system knows of a serial adapter; empty strings where it knows nothing.
struct AdapterDetails
{
    QString port_name;       // ttyUSB0
    QString system_location; // /dev/ttyUSB0
    QString description;
    QString manufacturer;
    QString serial_number;
    QString vid_pid;         // "0403:6001"
};

// The machine's serial ports with their details (none of TESSIK_EXTRA_PORTS).
QVector<AdapterDetails> list_adapter_details();

// One port's details, found from its device (/dev/ttyUSB0, \\.\COM3) alone:
// on Linux from sysfs, without listing every tty the system has.
AdapterDetails adapter_details_of(const QString &device);

// The USB identity in a Windows device instance ID: "USB\VID_0403&PID_6001\A5028"
// or "FTDIBUS\VID_0403+PID_6001+A5028A\0000" give vid_pid "0403:6001" and
// serial_number "A5028" or "A5028A"; a serial part made up by Windows (with
// '&') is no serial number. Fields the ID does not hold are left empty.
void usb_ids_from_instance_id(const QString &instance_id, AdapterDetails &adapter);

// Where a USB adapter is plugged, for a command that powers its hub port:
// uhubctl's location (1-1) and port (4) of the USB device path 1-1.4.
// Empty where the system does not tell (not USB, not Linux). Like the
// details above, read below /sys, or $TESSIK_SYSFS_ROOT for tests.
struct UsbPlace
{
    QString adapter_serial;
    QString hub_location;
    QString hub_port;
};
UsbPlace usb_place(const QString &device);
// Pure part of usb_place: "1-1.4" gives 1-1 and 4, "2-3" gives 2 and 3.
void hub_place_of_usb_path(const QString &usb_path, UsbPlace &place);

// Pure part of list_port_names, for tests.
QStringList merge_port_names(const QStringList &system_ports, const QString &extra_ports);

// A port name from the data of a value under HARDWARE\DEVICEMAP\SERIALCOMM:
// every zero byte skipped, every other byte one character (UTF-16 "COM3"
// becomes COM3, whatever the value's type).
QString port_name_from_registry_data(const QByteArray &data);

// The device to open for a listed port name: "\\.\" + name on Windows;
// elsewhere the name itself when it is an absolute path, else "/dev/" + name.
QString device_name(const QString &port_name);

// True when this user may open the device for reading and writing.
bool device_accessible(const QString &device);

// True when the device is there (a file on Linux, a DOS device such as COM3
// on Windows).
bool device_exists(const QString &device);

// One name for every path of the same device (links resolved), to tell
// when one device is named twice.
QString device_identity(const QString &device);

// Waits until everything written to the serial device has left the line.
void drain_output(qintptr handle);

// True when the serial device has input (or a hang-up) within timeout_ms.
// Where the platform has no cheap way to tell, it answers true.
bool input_ready(qintptr handle, int timeout_ms);

// ASYNC_LOW_LATENCY asked of the driver on an open port (Linux, TIOCSSERIAL):
// a USB adapter then hands over short reads at once instead of holding them
// for its latency timer. old_flags are the serial flags to put back on close.
struct LowLatencyRequest
{
    bool granted = false; // the flag reads back set
    bool changed = false; // we set it: restore_serial_flags puts old_flags back
    int old_flags = 0;
};
LowLatencyRequest request_low_latency(qintptr handle);
void restore_serial_flags(qintptr handle, const LowLatencyRequest &request);

// The latency timer of the port's USB adapter in ms: the FTDI driver's
// latency_timer in sysfs (the device's links resolved to ttyUSBn; the root
// /sys, or $TESSIK_SYSFS_ROOT for tests), on Windows the FTDIBUS device's
// LatencyTimer whose PortName is the port. -1 when the system has none.
int adapter_latency_timer_ms(const QString &device);

// How to make an adapter's latency 1 ms for good on this system (a udev rule, a driver setting).
QString adapter_latency_remedy();

// The number in a latency_timer file ("16\n"); -1 for anything else.
int parse_latency_timer(const QByteArray &text);
