#pragma once

#include "platform/platform.h"

#include <QString>
#include <QStringList>
#include <QVector>

// A serial port as the system describes it, with the links udev keeps for it.
struct PortDetails
{
    AdapterDetails adapter;
    QStringList by_id;
    QStringList by_path;
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
