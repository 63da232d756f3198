#pragma once

// A bare pseudo-terminal pair for tests of the port class: the test holds the
// master, the port under test opens the slave by its path.

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class PtyPair
{
public:
    PtyPair()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        slave_path = QString::fromLocal8Bit(ptsname(master));
    }
    ~PtyPair() { close_master(); }

    bool ok() const { return master >= 0 && !slave_path.isEmpty(); }
    QString slave() const { return slave_path; }
    int master_fd() const { return master; }

    void send(const QByteArray &bytes) { (void)::write(master, bytes.constData(), bytes.size()); }

    // Everything the port wrote, gathered for up to wait_ms.
    QByteArray receive(int want, int wait_ms = 2000)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < want && clock.elapsed() < wait_ms) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0)
                continue;
            char buffer[512];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, static_cast<int>(n));
        }
        return got;
    }

    void close_master()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

private:
    int master = -1;
    QString slave_path;
};
