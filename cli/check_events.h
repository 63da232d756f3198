#pragma once

#include "engine/check_options.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <functional>

class RunEvents;

// The checks of a run's ports in its JSON events: a module_id event when a
// module's identity is read, and the facts of each port's last attempt for
// its port_end (or a station's unit_end) event.
class CheckEvents
{
public:
    using Emit = std::function<void(const QJsonObject &)>;

    explicit CheckEvents(Emit emit_event) : emit_event(std::move(emit_event)) {}

    void watch(RunEvents *run); // an UpdateRun or a FixtureLoop
    // module_id, crc_mode, rate, verified and version_reply of the port.
    QJsonObject fields(const QString &port) const;

private:
    void identified(const QString &port, const QString &module_id);

    Emit emit_event;
    QMap<QString, PortFacts> facts;
};
