#include "cli/signal_watch.h"

#include <cstdlib>

#ifdef Q_OS_UNIX
#include <csignal>
#endif
#ifdef Q_OS_LINUX
#include <sys/signalfd.h>
#include <unistd.h>
#endif

SignalWatch::SignalWatch()
{
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef Q_OS_LINUX
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd >= 0)
        notifier.reset(new QSocketNotifier(fd, QSocketNotifier::Read));
#endif
}

SignalWatch::~SignalWatch()
{
    notifier.reset();
#ifdef Q_OS_LINUX
    if (fd >= 0)
        ::close(fd);
#endif
}

void SignalWatch::on_signal(const std::function<void()> &on_first, int exit_code)
{
    if (!notifier)
        return;
    QObject::connect(notifier.data(), &QSocketNotifier::activated, [this, on_first, exit_code] {
#ifdef Q_OS_LINUX
        signalfd_siginfo info;
        while (::read(fd, &info, sizeof info) == sizeof info) {
            if (++seen > 1)
                std::_Exit(exit_code);
            on_first();
        }
#endif
    });
}
