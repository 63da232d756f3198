#pragma once

#include <functional>
#include <memory>

class QObject;
class QSocketNotifier;

// SIGINT and SIGTERM reach the event loop as a call of the handler given,
// also one held since the tool started; a second one exits at once with 130. SIGPIPE is ignored for good: a reader
// of standard output that went away must not end an update.
class RunSignals
{
public:
    explicit RunSignals(std::function<void()> handler);
    ~RunSignals();

private:
    std::function<void()> handler;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QObject> context; // Windows: where console interrupts are delivered
};
