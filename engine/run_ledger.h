#pragma once

#include "engine/outcome.h"

#include <QString>
#include <QStringList>
#include <QVector>

struct PortSummary
{
    QString port;
    PortResult result = PortResult::skipped;
    FailReason reason = FailReason::not_started;
    double seconds = 0;
};

// How a port ended, as scripts read it: "ok", "failed", "aborted" (the run
// was stopped while the port was unfinished) or "skipped" (never started).
const char *end_word(const PortSummary &end);

// The ports of one run and how each ended. Every port ends exactly once: a
// second end of a port, or the end of a port that is not in the run, is
// refused, so whoever reports an end asks here first.
class RunLedger
{
public:
    explicit RunLedger(const QStringList &ports = {});

    const QStringList &ports() const { return names; }
    // True when the end is taken: the port is in the run and had not ended.
    bool end(const PortSummary &end);
    bool ended(const QString &port) const;
    bool complete() const { return ends.size() == names.size(); }
    QStringList open_ports() const;
    // A port that turned out to be a second name of another one leaves the run.
    void drop(const QString &port);

    // In the order the ports were named.
    QStringList with_end(const char *word) const;
    const QVector<PortSummary> &all_ends() const { return ends; }
    bool all_ok() const { return with_end("ok").size() == names.size(); }

private:
    QStringList names;
    QVector<PortSummary> ends;
};
