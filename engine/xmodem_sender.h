#pragma once

#include "engine/outcome.h"

#include <QByteArray>
#include <functional>

enum class XmodemPhase : quint8 {
    start = 0, // waiting for the receiver's 'C' or NAK
    block = 1, // a block is outstanding
    eot = 2,   // the EOT is outstanding
};

enum class SenderEnd {
    running,
    success, // the module acknowledged every block and the EOT
    failure,
};

// The sender's bounds, in milliseconds of the caller's clock.
struct SenderBounds
{
    qint64 start_request_ms = 60000; // hand-over to a usable 'C' or NAK
    qint64 block_silence_ms = 10000; // a frame without any answer is written again
    int frame_try_limit = 10;        // writes of one frame before the port fails
    qint64 eot_silence_ms = 5000;    // an EOT without any answer is written again
    int eot_limit = 10;
    // The longest a healthy module takes to answer a frame it holds: copies
    // still owed an answer after the ACK are waited for this long.
    qint64 settle_ms = 10000;
};

// The XMODEM sender of one image (128-byte blocks, CRC-16 or checksum) as a
// plain state machine: the module's bytes go in with feed(), one call per
// read, the passing of time with tick(); frames go out through the write
// callback. No timers and no port: the owner arms one timer for deadline().
//
// Never running ahead. A serial line keeps order and a module answers each
// complete frame once, so the sender counts the answers it is owed: one per
// copy of the outstanding frame it wrote. The next frame goes out only when
// the frame is acknowledged and every copy has had its answer (or the
// settle bound has passed), so no answer to an earlier copy can be taken for
// the next frame's. Hence:
// - a start character ('C', or NAK in checksum mode) before block 1 has
//   been answered is not an answer: it may have crossed the block on the
//   line, and a second copy would be answered too. A block 1 that really
//   was lost or NAKed goes again after the silence;
// - a frame is written again only on a NAK (when no other copy is still
//   owed an answer) or after block_silence_ms without one;
// - the EOT goes out only after the last block's ACK and its settling.
// What it relies on: a healthy module answers a frame within settle_ms,
// and the line does not invent answers. A read is one answer, however many
// control bytes it holds: counting too few answers only makes it wait.
class XmodemSender
{
public:
    using Write = std::function<void(const QByteArray &)>;

    XmodemSender(QByteArray image, Write write, SenderBounds bounds = {});

    void start(qint64 now);
    void feed(const QByteArray &reply, qint64 now);
    void tick(qint64 now);
    // CAN CAN to the module, then failure; nothing once ended.
    void cancel(FailReason reason);

    // When tick() next has something to do; -1 once ended.
    qint64 deadline() const;
    SenderEnd end() const { return ended; }
    FailReason reason() const { return why; }

    XmodemPhase phase() const { return current_phase; }
    bool crc() const { return use_crc; }
    quint8 block_number() const { return static_cast<quint8>(block_index + 1); }
    qint64 bytes_sent() const { return sent; }
    qint64 total_bytes() const { return image.size(); }
    const QByteArray &last_frame() const { return frame; }

    // The longest a transfer of this many bytes can last before it ends.
    static qint64 longest_ms(qint64 image_bytes, const SenderBounds &bounds = {});

private:
    void on_block_reply(const QByteArray &reply, qint64 now);
    void on_ack(qint64 now);
    void on_nak(qint64 now);
    void on_eot_reply(const QByteArray &reply, qint64 now);
    void next_frame(qint64 now);
    void send_block(qint64 now);
    void rewrite(qint64 now);
    void write_eot(qint64 now);
    void finish(SenderEnd how, FailReason reason);

    const QByteArray image;
    const Write write;
    const SenderBounds bounds;

    SenderEnd ended = SenderEnd::running;
    FailReason why = FailReason::ok;
    XmodemPhase current_phase = XmodemPhase::start;
    bool use_crc = true;
    qint64 started_ms = 0;
    qint64 last_write_ms = 0;
    qint64 block_index = 0; // 0-based, not wrapped
    qint64 sent = 0;
    QByteArray frame;
    int frame_tries = 0;
    int owed = 0;           // copies of the frame not yet answered
    bool acked = false;     // the frame is stored; settling
    qint64 settle_until_ms = 0;
    int eot_count = 0;
};
