#include "cli/check_events.h"

#include "engine/fixture_loop.h"
#include "engine/update_run.h"

void CheckEvents::watch(UpdateRun *run)
{
    QObject::connect(run, &UpdateRun::port_started, [this](const QString &port) { facts.remove(port); });
    QObject::connect(run, &UpdateRun::facts_known,
                     [this](const QString &port, const PortFacts &found) { facts[port] = found; });
    QObject::connect(run, &UpdateRun::module_identified,
                     [this](const QString &port, const QString &id) { identified(port, id); });
}

void CheckEvents::watch(FixtureLoop *station)
{
    QObject::connect(station, &FixtureLoop::attempt_started, [this](const QString &port) { facts.remove(port); });
    QObject::connect(station, &FixtureLoop::facts_known,
                     [this](const QString &port, const PortFacts &found) { facts[port] = found; });
    QObject::connect(station, &FixtureLoop::module_identified,
                     [this](const QString &port, const QString &id) { identified(port, id); });
}

void CheckEvents::identified(const QString &port, const QString &module_id)
{
    emit_event({{QStringLiteral("event"), QStringLiteral("module_id")},
                {QStringLiteral("port"), port},
                {QStringLiteral("module_id"), module_id}});
}

QJsonObject CheckEvents::fields(const QString &port) const
{
    const PortFacts found = facts.value(port);
    return {{QStringLiteral("module_id"), found.module_id},
            {QStringLiteral("crc_mode"), found.crc_mode},
            {QStringLiteral("rate"), found.rate},
            {QStringLiteral("verified"), found.verified},
            {QStringLiteral("version_reply"), found.version_reply}};
}
