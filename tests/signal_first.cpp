// Runs a program with a signal already waiting for it: the signal is blocked,
// raised and left pending across exec, so that the program gets it at the
// first instant it lets the signal through, however soon or late that is.
//   signal_first INT|TERM PROGRAM [ARGUMENTS...]

#include <csignal>
#include <cstring>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    const int signal_number = std::strcmp(argv[1], "INT") == 0 ? SIGINT : SIGTERM;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    raise(signal_number);
    execv(argv[2], argv + 2);
    return 127;
}
