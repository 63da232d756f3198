// The update engine's sender fed arbitrary module replies through an
// in-memory line, with the clock advancing between reads. Properties:
// success only when every block and the EOT were acknowledged and the
// blocks carry exactly the image; nothing past the image is sent; every
// update ends within its time bounds.

#include "engine/port_update.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_sender: %s\n", what);
    std::abort();
}

struct Exchange
{
    QList<QByteArray> written; // the writes before this read, one entry a call
    QByteArray reply;          // what the read gave the engine
};

// A line that hands the engine the fuzzer's replies one read at a time.
class MemoryLine : public Transport
{
public:
    std::vector<Exchange> *log = nullptr;
    QByteArray next_reply;
    QList<QByteArray> pending_write;

    bool open() override { return is_open = true; }
    bool isOpen() const override { return is_open; }
    void close() override { is_open = false; }
    OpenFailure openFailure() const override { return OpenFailure::none; }
    void flush() override {}
    qint64 write(const char *data, qint64 len) override
    {
        pending_write.append(QByteArray(data, static_cast<int>(len)));
        return len;
    }
    int read(char *) override { return 0; }
    QByteArray readAll() override
    {
        log->push_back({pending_write, next_reply});
        pending_write.clear();
        return std::exchange(next_reply, QByteArray());
    }
    bool setBaudRate(qint32 rate) override { return baud = rate, true; }
    qint32 baudRate() const override { return baud; }
    void applyLineSettings() override {}
    bool failed() const override { return false; }

private:
    bool is_open = false;
    qint32 baud = 9600;
};

bool last_control_is(const QByteArray &reply, char wanted)
{
    for (int i = reply.size() - 1; i >= 0; --i) {
        const char c = reply.at(i);
        if (c == 0x06 || c == 0x15 || c == 0x18)
            return c == wanted;
    }
    return false;
}

QByteArray image;
QString image_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    image.resize(300);
    for (int i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7 + 1);
    image_path = QDir::temp().filePath(QStringLiteral("fuzz_sender_image_%1.bin").arg(QCoreApplication::applicationPid()));
    QFile file(image_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        fail("cannot write the image");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<Exchange> log;
    MemoryLine *line = nullptr;
    ManualClock clock;
    UpdateOptions options;
    options.clock = &clock;
    options.open_transport = [&](const QString &) -> std::unique_ptr<Transport> {
        auto made = std::make_unique<MemoryLine>();
        made->log = &log;
        line = made.get();
        return made;
    };
    PortUpdate update(QStringLiteral("fuzz"), image_path, options);
    bool ended = false;
    PortResult result = PortResult::skipped;
    QObject::connect(&update, &PortUpdate::finished, [&](PortResult r, FailReason) {
        ended = true;
        result = r;
    });
    if (update.start_with_boot_loader_ready() != 0 || !line)
        fail("the engine did not start");

    // Each step: one byte of clock advance (in 100 ms), one of length, then the reply.
    size_t at = 0;
    while (!ended && at + 2 <= size) {
        clock.advance(qint64(data[at]) * 100);
        const size_t length = qMin<size_t>(data[at + 1] % 8, size - at - 2);
        line->next_reply = QByteArray(reinterpret_cast<const char *>(data + at + 2), static_cast<int>(length));
        at += 2 + length;
        update.recv_xmodem_bit();
    }
    // Silence from here on: the bounds must end it.
    for (int step = 0; !ended && step < 400; ++step) {
        clock.advance(1000);
        update.recv_xmodem_bit();
    }
    if (!ended)
        fail("the update did not end within its time bounds");
    if (update.port() && update.port()->isOpen())
        fail("the port was left open");
    if (update.image_open())
        fail("the image was left open");

    // Replay the exchange: the blocks written (a repeated block counts once),
    // and whether each new block and the EOT followed an acknowledgement.
    log.push_back({line->pending_write, QByteArray()});
    QByteArray blocks;
    int last_number = -1;
    bool acked = true; // the first block answers the start request
    bool unacked_step = false;
    bool eot_acked = false;
    bool eot_written = false;
    for (const Exchange &exchange : log) {
        for (const QByteArray &unit : exchange.written) {
            if (unit.size() >= 132 && unit.at(0) == 0x01) {
                const int number = static_cast<unsigned char>(unit.at(1));
                if (number != last_number) {
                    if (!acked)
                        unacked_step = true;
                    blocks += unit.mid(3, 128);
                }
                last_number = number;
                acked = false;
            } else if (unit == QByteArray(1, 0x04)) {
                if (!acked && !eot_written)
                    unacked_step = true;
                eot_written = true;
                acked = false;
            }
        }
        if (last_control_is(exchange.reply, 0x06)) {
            acked = true;
            if (eot_written)
                eot_acked = true;
        }
    }
    const int image_blocks = (image.size() + 127) / 128;
    if (blocks.size() > image_blocks * 128)
        fail("sent more blocks than the image holds");
    if (result == PortResult::success) {
        if (blocks.size() != image_blocks * 128 || blocks.left(image.size()) != image)
            fail("success without the whole image in its blocks");
        if (unacked_step)
            fail("a block or the EOT went out before the one before it was acknowledged");
        if (!eot_acked)
            fail("success without an acknowledged EOT");
    }
    return 0;
}
