#pragma once

#include <optional>
#include <signal.h>
#include <string>
#include <sys/types.h>

// An external XMODEM receiver run as '/bin/sh -c CMD', talked to over pipes.
class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // childMask: the signal mask the command should run with.
    bool start(const std::string& command, const sigset_t& childMask, std::string& error);
    // Exit status once the process has ended (128+N when killed by signal N).
    std::optional<int> reap();
    void stop();

    int stdinFd() const { return in_; }
    int stdoutFd() const { return out_; }
    void closeStdin();
    void closeStdout();

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};
