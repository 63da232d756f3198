#pragma once

// The test plays the boot loader on a bare pseudo-terminal, with the window's
// sender just handed over.

#include "pty_pair.h"
#include "window_probe.h"

#include <QTemporaryDir>
#include <QtTest>
#include <memory>

inline const char nak = 0x15;
inline const char ack = 0x06;

// A window with the port open at 115200 and the sender just handed over,
// as both roads of the reset handshake leave it.
struct HandedOver
{
    PtyPair pty;
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowProbe> probe;

    bool set_up(const QByteArray &image)
    {
        if (!pty.ok())
            return false;
        qputenv("TESSIK_EXTRA_PORTS", pty.slave().toUtf8());
        window = std::make_unique<MainWindow>();
        probe = std::make_unique<WindowProbe>(*window);
        QFile file(dir.filePath(QStringLiteral("image.bin")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(image);
        file.close();
        probe->firmware_path() = file.fileName();
        probe->tick(pty.slave());
        probe->set_rate_text(QStringLiteral("115200"));
        if (probe->prepare_update() != 0 || probe->open_update_port(0) != 0)
            return false;
        probe->update_button()->setEnabled(false);
        probe->hand_over_to_sender();
        return true;
    }

    // Waits (running the event loop) for want bytes from the sender.
    QByteArray expect(int want)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < want && clock.elapsed() < 5000) {
            QTest::qWait(5);
            got += pty.receive(want - got.size(), 1);
        }
        return got;
    }
};

