#pragma once

#include <QScopedPointer>
#include <QSocketNotifier>
#include <functional>

// SIGINT and SIGTERM read from a descriptor in the event loop: no handler,
// no global state. Make it before any thread starts, so that every thread
// leaves the signals to it. SIGPIPE is ignored for good, as in a run: a
// reader of standard output that went away must not end an update.
class SignalWatch
{
public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

    // Runs on_first at the first signal; a second one ends the process at
    // once with exit_code.
    void on_signal(const std::function<void()> &on_first, int exit_code);

private:
    int fd = -1;
    int seen = 0;
    QScopedPointer<QSocketNotifier> notifier;
};
