#pragma once

// The test plays the boot loader on a bare pseudo-terminal, with one port's
// update engine just handed over to its sender.

#include "engine/port_update.h"
#include "pty_pair.h"
#include "wait_until.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

inline const char nak = 0x15;
inline const char ack = 0x06;

struct HandedOver
{
    PtyPair pty;
    QTemporaryDir dir;
    ManualClock clock;
    std::unique_ptr<PortUpdate> update;
    QStringList bodies;
    bool ended = false;
    PortResult result = PortResult::skipped;
    FailReason reason = FailReason::not_started;

    // With manual_clock the sender's time bounds read test time.
    bool set_up(const QByteArray &image, bool manual_clock = false)
    {
        if (!pty.ok())
            return false;
        QFile file(dir.filePath(QStringLiteral("image.bin")));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(image);
        file.close();
        UpdateOptions options;
        options.clock = manual_clock ? &clock : nullptr;
        update = std::make_unique<PortUpdate>(pty.slave(), file.fileName(), options);
        QObject::connect(update.get(), &PortUpdate::log_line, [this](const QString &body) { bodies << body; });
        QObject::connect(update.get(), &PortUpdate::finished, [this](PortResult r, FailReason why) {
            ended = true;
            result = r;
            reason = why;
        });
        return update->start_with_boot_loader_ready() == 0;
    }

    // Waits (running the event loop) for want bytes from the sender.
    QByteArray expect(int want)
    {
        QByteArray got;
        QElapsedTimer elapsed;
        elapsed.start();
        while (got.size() < want && elapsed.elapsed() < 5000) {
            QTest::qWait(5);
            got += pty.receive(want - got.size(), 1);
        }
        return got;
    }
};
