#include "engine/run_ledger.h"

#include <cstring>

const char *end_word(const PortSummary &end)
{
    if (end.result == PortResult::failure && end.reason == FailReason::aborted)
        return "aborted";
    return result_word(end.result);
}

RunLedger::RunLedger(const QStringList &ports)
{
    for (const QString &port : ports) {
        if (!names.contains(port))
            names << port;
    }
}

bool RunLedger::end(const PortSummary &end)
{
    if (!names.contains(end.port) || ended(end.port))
        return false;
    ends << end;
    return true;
}

bool RunLedger::ended(const QString &port) const
{
    for (const PortSummary &end : ends) {
        if (end.port == port)
            return true;
    }
    return false;
}

QStringList RunLedger::open_ports() const
{
    QStringList open;
    for (const QString &port : names) {
        if (!ended(port))
            open << port;
    }
    return open;
}

void RunLedger::drop(const QString &port)
{
    if (!ended(port))
        names.removeAll(port);
}

QStringList RunLedger::with_end(const char *word) const
{
    QStringList found;
    for (const QString &port : names) {
        for (const PortSummary &end : ends) {
            if (end.port == port && std::strcmp(end_word(end), word) == 0)
                found << port;
        }
    }
    return found;
}
