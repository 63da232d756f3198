#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// A serial port as the system describes it, with the links udev keeps for it.
struct PortDetails
{
    QString name;     // ttyUSB0
    QString device;   // /dev/ttyUSB0
    QStringList by_id;
    QStringList by_path;
    QString description;
    QString manufacturer;
    QString serial_number;
    QString vid_pid;  // "0403:6001", empty when unknown
};

QVector<PortDetails> list_serial_ports();

// What a --port argument names: the label used in lines and events stays as
// written; device is what is opened; identity compares two names of one device.
struct NamedPort
{
    QString label;
    QString device;
    QString identity;
    bool exists = false;
};

// Resolves a name (ttyUSB0), a path (/dev/..., udev links with ':') or
// serial:SERIALNUMBER. An unknown serial number gives exists = false.
NamedPort resolve_port(const QString &argument);
