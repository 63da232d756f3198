#include "cli/run_signals.h"

#include "cli/command_line.h"
#include "platform/platform.h"

#include <QObject>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Only what a signal handler may touch lives here.
int signal_pipe[2] = {-1, -1};
volatile sig_atomic_t signals_seen = 0;

void on_signal(int)
{
    if (++signals_seen > 1)
        _exit(exit_aborted);
    const char byte = 1;
    const ssize_t written = ::write(signal_pipe[1], &byte, 1);
    (void)written;
}

void set_handler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

RunSignals::RunSignals(std::function<void()> handler) : handler(std::move(handler))
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(signal_pipe) != 0)
        return;
    for (int fd : signal_pipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    signals_seen = 0;
    notifier = std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] {
        char byte;
        const ssize_t got = ::read(signal_pipe[0], &byte, 1);
        (void)got;
        this->handler();
    });
    set_handler(on_signal);
    // A signal held since the tool started arrives now, into the pipe.
    release_stop_signals();
}

RunSignals::~RunSignals()
{
    if (!notifier)
        return;
    set_handler(SIG_DFL);
    notifier.reset();
    for (int &fd : signal_pipe) {
        ::close(fd);
        fd = -1;
    }
}

#else

// Windows: Ctrl+C, Ctrl+Break or closing the console.
RunSignals::RunSignals(std::function<void()> handler) : handler(std::move(handler))
{
    context = std::make_unique<QObject>();
    on_console_interrupt(context.get(), [this] { this->handler(); }, exit_aborted);
}
RunSignals::~RunSignals() = default;

#endif
