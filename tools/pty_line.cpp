#include "pty_line.h"

#include "line_rate.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t speedCode(unsigned baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
    }
}

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

PtyLine::~PtyLine()
{
    removeLink();
    close();
}

bool PtyLine::open(unsigned baud, std::string& error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = systemError("cannot create a pseudo-terminal");
        return false;
    }
    char name[PATH_MAX] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = systemError("ptsname");
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error = systemError("cannot open " + slavePath_);
        return false;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!configureSlave(baud)) {
        error = systemError("cannot configure " + slavePath_);
        return false;
    }
    return true;
}

bool PtyLine::configureSlave(unsigned baud)
{
    struct termios tio {};
    if (tcgetattr(slave_, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    speed_t code = speedCode(baud);
    if (code != 0)
        cfsetspeed(&tio, code);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0)
        return false;
    return code != 0 || setLineRate(slave_, baud);
}

// Replaces whatever is at path atomically: symlink to a temporary name, then rename.
bool PtyLine::makeLink(const std::string& path, std::string& error)
{
    std::string temporary = path + ".tmp" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(slavePath_.c_str(), temporary.c_str()) != 0) {
        error = systemError("cannot create link " + path);
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = systemError("cannot create link " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    link_ = path;
    return true;
}

// Removes the link only while it still points at this simulator's slave.
void PtyLine::removeLink()
{
    if (link_.empty())
        return;
    char target[PATH_MAX] = {};
    ssize_t size = ::readlink(link_.c_str(), target, sizeof target - 1);
    if (size > 0 && slavePath_ == std::string(target, static_cast<size_t>(size)))
        ::unlink(link_.c_str());
    link_.clear();
}

void PtyLine::close()
{
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
    master_ = -1;
    slave_ = -1;
}
