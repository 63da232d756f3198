#include "cli/check_events.h"

#include "engine/run_events.h"

void CheckEvents::watch(RunEvents *run)
{
    QObject::connect(run, &RunEvents::attempt_started, [this](const QString &port) { facts.remove(port); });
    QObject::connect(run, &RunEvents::facts_known,
                     [this](const QString &port, const PortFacts &found) { facts[port] = found; });
    QObject::connect(run, &RunEvents::module_identified,
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
            {QStringLiteral("version_reply"), found.version_reply},
            {QStringLiteral("reset_by"), found.reset_by}};
}
