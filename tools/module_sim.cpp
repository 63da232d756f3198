// tessik-module-sim: a simulated Wi-Fi module on a pseudo-terminal, for
// testing and benchmarking tessik-update-tool. See --help.

#include "pty_line.h"
#include "recorder.h"
#include "sim_options.h"
#include "simulator.h"

#include <cstdio>
#include <signal.h>
#include <sys/prctl.h>

namespace {

void onStopSignal(int signalNumber)
{
    gStopSignal = signalNumber;
}

void onResetSignal(int)
{
    gResetSignal = 1;
}

// Only there so that SIGCHLD interrupts the poll; the loop reaps the peer.
void onChildSignal(int)
{
}

// Blocks the signals the poll loop waits for; returns the mask for the poll
// (them unblocked) and the original mask for child processes.
void setUpSignals(sigset_t& waitMask, sigset_t& originalMask)
{
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = onResetSignal;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = onChildSignal;
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);

    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGCHLD);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &originalMask);
    waitMask = originalMask;
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGCHLD);
    sigdelset(&waitMask, SIGUSR1);
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "tessik-module-sim: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    TimePoint start = Clock::now();
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error))
        return fail(error + " (see --help)");
    if (options.help) {
        printHelp(argv[0]);
        return 0;
    }

    if (options.pace || !options.strictLine.empty())
        prctl(PR_SET_TIMERSLACK, 1UL); // the default 50 us slack would blur the modelled wire times

    sigset_t waitMask;
    sigset_t originalMask;
    setUpSignals(waitMask, originalMask);

    Recorder recorder(start);
    if (!options.record.empty() && !recorder.open(options.record))
        return fail("cannot write " + options.record);

    PtyLine line;
    bool applicationSetsRate = !options.bootNow && options.appBaud != 0;
    if (!line.open(applicationSetsRate ? options.appBaud : 115200, error))
        return fail(error);
    if (!options.link.empty() && !line.makeLink(options.link, error))
        return fail(error);
    ToolJournal journal;
    if (!options.strictLine.empty() && !journal.create(options.strictLine, error))
        return fail(error);
    std::printf("SLAVE %s\n", line.slavePath().c_str());
    std::fflush(stdout);

    Simulator simulator(options, line, recorder, journal, start);
    return simulator.run(waitMask, originalMask);
}
