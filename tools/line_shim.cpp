// libtessik-line-shim.so: preloaded into the tool in tests (LD_PRELOAD), it
// gives a pseudo-terminal what a USB serial adapter has and a pty lacks:
// the modem lines DTR and RTS (TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC) and
// the serial flags of TIOCGSERIAL / TIOCSSERIAL (ASYNC_LOW_LATENCY).
//
// Every change of a line's state is appended, as one line of text, to
// $TESSIK_LINE_STATE_DIR/pts-N.lines (N: the pty's number), which the
// simulated module reads:
//   <microseconds, CLOCK_MONOTONIC> dtr=<0|1> rts=<0|1> low_latency=<0|1>
// Lines start as a port's after its open on Linux: DTR and RTS asserted,
// no low latency. Where the simulator wrote the adapter's latency timer
// ($TESSIK_LINE_STATE_DIR/sys/bus/usb-serial/devices/N/latency_timer), it is
// 1 while ASYNC_LOW_LATENCY is set and its own value again once it is
// cleared, as the FTDI driver has it. Without TESSIK_LINE_STATE_DIR, or on a file descriptor
// that is no pty, every call goes to the C library unchanged.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

struct LineState
{
    bool known = false;
    int modem = TIOCM_DTR | TIOCM_RTS;
    int serial_flags = 0;
    int latency_timer = -1; // the adapter's own, before low latency replaced it
};

constexpr int max_ptys = 4096;
LineState lines[max_ptys];
std::mutex lines_lock;

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction real_ioctl()
{
    static IoctlFunction next = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return next;
}

// The pty's number, or -1 for any other file.
int pty_number(int fd)
{
    char link[64];
    char target[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t size = readlink(link, target, sizeof target - 1);
    if (size <= 0)
        return -1;
    target[size] = '\0';
    if (strncmp(target, "/dev/pts/", 9) != 0)
        return -1;
    const int number = atoi(target + 9);
    return number >= 0 && number < max_ptys ? number : -1;
}

void append_state(int pty, const LineState &state)
{
    const char *dir = getenv("TESSIK_LINE_STATE_DIR");
    char path[512];
    snprintf(path, sizeof path, "%s/pts-%d.lines", dir, pty);
    const int out = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[128];
    const int length = snprintf(text, sizeof text, "%lld dtr=%d rts=%d low_latency=%d\n",
                                static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000,
                                (state.modem & TIOCM_DTR) ? 1 : 0, (state.modem & TIOCM_RTS) ? 1 : 0,
                                (state.serial_flags & ASYNC_LOW_LATENCY) ? 1 : 0);
    (void)!write(out, text, length); // one write: lines from threads never interleave
    close(out);
}

void follow_low_latency(int pty, LineState &state)
{
    char path[512];
    snprintf(path, sizeof path, "%s/sys/bus/usb-serial/devices/%d/latency_timer", getenv("TESSIK_LINE_STATE_DIR"),
             pty);
    const bool low = (state.serial_flags & ASYNC_LOW_LATENCY) != 0;
    if (state.latency_timer < 0) {
        FILE *in = fopen(path, "r");
        if (!in)
            return;
        if (fscanf(in, "%d", &state.latency_timer) != 1)
            state.latency_timer = -1;
        fclose(in);
        if (state.latency_timer < 0)
            return;
    }
    FILE *out = fopen(path, "w");
    if (!out)
        return;
    fprintf(out, "%d\n", low ? 1 : state.latency_timer);
    fclose(out);
}

bool emulated(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCGSERIAL:
    case TIOCSSERIAL:
        return true;
    default:
        return false;
    }
}

int emulate(int pty, unsigned long request, void *argument)
{
    std::lock_guard<std::mutex> hold(lines_lock);
    LineState &state = lines[pty];
    const LineState before = state;
    const bool first = !state.known;
    state.known = true;
    switch (request) {
    case TIOCMGET:
        *static_cast<int *>(argument) = state.modem | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        return 0;
    case TIOCMSET:
        state.modem = *static_cast<const int *>(argument) & (TIOCM_DTR | TIOCM_RTS);
        break;
    case TIOCMBIS:
        state.modem |= *static_cast<const int *>(argument) & (TIOCM_DTR | TIOCM_RTS);
        break;
    case TIOCMBIC:
        state.modem &= ~(*static_cast<const int *>(argument) & (TIOCM_DTR | TIOCM_RTS));
        break;
    case TIOCGSERIAL: {
        serial_struct *serial = static_cast<serial_struct *>(argument);
        memset(serial, 0, sizeof *serial);
        serial->type = PORT_16550A;
        serial->line = pty;
        serial->flags = state.serial_flags;
        serial->baud_base = 115200;
        return 0;
    }
    case TIOCSSERIAL:
        state.serial_flags = static_cast<const serial_struct *>(argument)->flags;
        if ((before.serial_flags ^ state.serial_flags) & ASYNC_LOW_LATENCY)
            follow_low_latency(pty, state);
        break;
    }
    if (first || before.modem != state.modem || before.serial_flags != state.serial_flags)
        append_state(pty, state);
    return 0;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (emulated(request) && getenv("TESSIK_LINE_STATE_DIR")) {
        const int pty = pty_number(fd);
        if (pty >= 0)
            return emulate(pty, request, argument);
    }
    return real_ioctl()(fd, request, argument);
}
