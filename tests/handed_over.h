#pragma once

// The test plays the boot loader on a bare pseudo-terminal, with one port's
// update engine just handed over to its sender.

#include "engine/port_update.h"
#include "pty_pair.h"
#include "serial/serial_port.h"
#include "wait_until.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

inline const char nak = 0x15;
inline const char ack = 0x06;

// The real port, counting the update's reads of it and the bytes they took.
class CountedPort : public SerialPort
{
public:
    CountedPort(const QString &device, int &reads, qint64 &taken)
        : SerialPort(device), reads(reads), taken(taken)
    {
    }
    QByteArray readAll() override
    {
        const QByteArray bytes = SerialPort::readAll();
        ++reads;
        taken += bytes.size();
        return bytes;
    }

private:
    int &reads;
    qint64 &taken;
};

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
    int reads = 0;
    qint64 taken = 0;

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
        options.open_transport = [this](const QString &device) -> std::unique_ptr<Transport> {
            return std::make_unique<CountedPort>(device, reads, taken);
        };
        update = std::make_unique<PortUpdate>(pty.slave(), file.fileName(), options);
        QObject::connect(update.get(), &PortUpdate::log_line, [this](const QString &body) { bodies << body; });
        QObject::connect(update.get(), &PortUpdate::finished, [this](PortResult r, FailReason why) {
            ended = true;
            result = r;
            reason = why;
        });
        return update->start_with_boot_loader_ready() == 0;
    }

    // Runs the event loop until the update has read the port again and has
    // taken at least `bytes` in all. Each read comes with a look at the clock
    // and whatever is due then: the update has acted on the time and on them.
    bool read_again(qint64 bytes = 0)
    {
        const int before = reads;
        return wait_until([&] { return reads > before && taken >= bytes; }, 5000);
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
