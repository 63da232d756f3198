#include "cli/check_events.h"

#include "engine/update_run.h"

void CheckEvents::watch(UpdateRun *run)
{
    QObject::connect(run, &UpdateRun::port_started, [this](const QString &port) { facts.remove(port); });
    QObject::connect(run, &UpdateRun::facts_known,
                     [this](const QString &port, const PortFacts &found) { facts[port] = found; });
    QObject::connect(run, &UpdateRun::module_identified, [this](const QString &port, const QString &id) {
        emit_event({{QStringLiteral("event"), QStringLiteral("module_id")},
                    {QStringLiteral("port"), port},
                    {QStringLiteral("module_id"), id}});
    });
}

void CheckEvents::add_to(QJsonObject &port_end, const QString &port) const
{
    const PortFacts found = facts.value(port);
    port_end.insert(QStringLiteral("module_id"), found.module_id);
    port_end.insert(QStringLiteral("crc_mode"), found.crc_mode);
    port_end.insert(QStringLiteral("rate"), found.rate);
    port_end.insert(QStringLiteral("verified"), found.verified);
    port_end.insert(QStringLiteral("version_reply"), found.version_reply);
}
