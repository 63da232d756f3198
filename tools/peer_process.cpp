#include "peer_process.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

int statusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return 1;
}

[[noreturn]] void execCommand(const std::string& command, int stdinFd, int stdoutFd,
                              const sigset_t& childMask)
{
    dup2(stdinFd, STDIN_FILENO);
    dup2(stdoutFd, STDOUT_FILENO);
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL); // an ignored signal would stay ignored across exec
    sigprocmask(SIG_SETMASK, &childMask, nullptr);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

} // namespace

PeerProcess::~PeerProcess()
{
    stop();
}

bool PeerProcess::start(const std::string& command, const sigset_t& childMask, std::string& error)
{
    int toPeer[2];
    int fromPeer[2];
    if (pipe2(toPeer, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (pipe2(fromPeer, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(toPeer[0]);
        close(toPeer[1]);
        return false;
    }
    pid_ = fork();
    if (pid_ == 0)
        execCommand(command, toPeer[0], fromPeer[1], childMask);
    close(toPeer[0]);
    close(fromPeer[1]);
    in_ = toPeer[1];
    out_ = fromPeer[0];
    if (pid_ < 0) {
        error = std::strerror(errno);
        closeStdin();
        closeStdout();
        return false;
    }
    setpgid(pid_, pid_); // also in the child: whichever runs first
    fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);
    fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
    return true;
}

std::optional<int> PeerProcess::reap()
{
    if (pid_ <= 0)
        return std::nullopt;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
        return std::nullopt;
    pid_ = -1;
    return statusOf(status);
}

// Asks the whole process group to end, then insists after half a second.
void PeerProcess::stop()
{
    closeStdin();
    closeStdout();
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 50 && !reap(); ++i) {
        struct timespec pause { 0, 10 * 1000 * 1000 };
        nanosleep(&pause, nullptr);
    }
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

void PeerProcess::closeStdin()
{
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

void PeerProcess::closeStdout()
{
    if (out_ >= 0)
        close(out_);
    out_ = -1;
}
