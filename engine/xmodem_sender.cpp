#include "engine/xmodem_sender.h"

#include "platform/trace.h"
#include "protocol/framing.h"
#include "protocol/replies.h"

#include <cstring>

XmodemSender::XmodemSender(QByteArray image, Write write, SenderBounds bounds)
    : image(std::move(image)), write(std::move(write)), bounds(bounds)
{
}

qint64 XmodemSender::longest_ms(qint64 image_bytes, const SenderBounds &bounds)
{
    const qint64 blocks = (image_bytes + xmodem::block_size - 1) / xmodem::block_size;
    return bounds.start_request_ms + blocks * (bounds.frame_try_limit * bounds.block_silence_ms + bounds.settle_ms)
           + bounds.eot_limit * bounds.eot_silence_ms;
}

void XmodemSender::start(qint64 now)
{
    started_ms = now;
}

qint64 XmodemSender::deadline() const
{
    if (ended != SenderEnd::running)
        return -1;
    switch (current_phase) {
    case XmodemPhase::start:
        return started_ms + bounds.start_request_ms;
    case XmodemPhase::block:
        return acked ? settle_until_ms : last_write_ms + bounds.block_silence_ms;
    case XmodemPhase::eot:
        break;
    }
    return last_write_ms + bounds.eot_silence_ms;
}

void XmodemSender::tick(qint64 now)
{
    if (ended != SenderEnd::running || now < deadline())
        return;
    switch (current_phase) {
    case XmodemPhase::start:
        finish(SenderEnd::failure, FailReason::no_start_request);
        break;
    case XmodemPhase::block:
        if (acked)
            next_frame(now); // the answers still owed were lost
        else
            rewrite(now);
        break;
    case XmodemPhase::eot:
        if (eot_count >= bounds.eot_limit)
            cancel(FailReason::eot_unconfirmed);
        else
            write_eot(now);
        break;
    }
}

void XmodemSender::feed(const QByteArray &reply, qint64 now)
{
    if (ended != SenderEnd::running || reply.isEmpty())
        return;
    switch (current_phase) {
    case XmodemPhase::start: {
        // Only the first byte of a read decides.
        const Reply kind = classify_start_reply(reply);
        if (kind != Reply::start_request && kind != Reply::nak)
            return;
        use_crc = kind == Reply::start_request;
        current_phase = XmodemPhase::block;
        block_index = -1;
        next_frame(now);
        break;
    }
    case XmodemPhase::block:
        on_block_reply(reply, now);
        break;
    case XmodemPhase::eot:
        on_eot_reply(reply, now);
        break;
    }
}

void XmodemSender::on_block_reply(const QByteArray &reply, qint64 now)
{
    switch (classify_block_reply(reply)) {
    case Reply::none:
    case Reply::noise:
        break;
    case Reply::ack:
        on_ack(now);
        break;
    case Reply::nak:
        on_nak(now);
        break;
    case Reply::cancel:
        qCDebug(trace) << "recv CAN data now";
        finish(SenderEnd::failure, FailReason::cancelled_by_module);
        break;
    case Reply::start_request:
        if (block_index == 0 && !acked)
            break; // crossed block 1 on the line: not an answer
        qCDebug(trace) << "other misstake =" << QChar::fromLatin1(reply.at(0));
        cancel(FailReason::unexpected_reply);
        break;
    case Reply::other:
        qCDebug(trace) << "other misstake =" << QChar::fromLatin1(reply.at(0));
        cancel(FailReason::unexpected_reply);
        break;
    }
}

void XmodemSender::on_ack(qint64 now)
{
    if (!acked) {
        acked = true;
        settle_until_ms = now + bounds.settle_ms;
    }
    if (owed > 0)
        --owed;
    if (owed == 0)
        next_frame(now);
}

void XmodemSender::on_nak(qint64 now)
{
    // In checksum mode a NAK before block 1's ACK may be the start
    // character crossing the block, like a 'C' in CRC mode: not an answer.
    if (!use_crc && block_index == 0 && !acked)
        return;
    if (owed > 0)
        --owed;
    if (acked) {
        if (owed == 0)
            next_frame(now); // a damaged extra copy of a stored frame
        return;
    }
    if (owed > 0)
        return; // another copy is still to be answered
    qCDebug(trace) << "recv NAK data now,send prv pack again";
    rewrite(now);
}

void XmodemSender::on_eot_reply(const QByteArray &reply, qint64 now)
{
    switch (classify_block_reply(reply)) {
    case Reply::ack:
        finish(SenderEnd::success, FailReason::ok);
        break;
    case Reply::cancel:
        qCDebug(trace) << "recv CAN data now";
        finish(SenderEnd::failure, FailReason::cancelled_by_module);
        break;
    case Reply::nak:
        // Some receivers NAK the first EOT. The EOT of an empty image is
        // the first frame: a checksum receiver's start NAK may cross it.
        if (!use_crc && block_index == 0)
            break;
        if (eot_count >= bounds.eot_limit)
            cancel(FailReason::eot_unconfirmed);
        else
            write_eot(now);
        break;
    default:
        break; // others answer it only after a silence
    }
}

void XmodemSender::next_frame(qint64 now)
{
    ++block_index;
    acked = false;
    owed = 0;
    frame_tries = 0;
    if (block_index * xmodem::block_size >= image.size()) {
        current_phase = XmodemPhase::eot;
        eot_count = 0;
        write_eot(now);
        return;
    }
    send_block(now);
}

void XmodemSender::send_block(qint64 now)
{
    unsigned char data[xmodem::block_size];
    const qint64 offset = block_index * xmodem::block_size;
    const qint64 length = qMin<qint64>(xmodem::block_size, image.size() - offset);
    std::memset(data, xmodem::padding, sizeof data);
    std::memcpy(data, image.constData() + offset, static_cast<size_t>(length));
    build_frame_into(frame, data, use_crc, static_cast<quint8>(block_index + 1));
    sent = offset + length;
    write(frame);
    owed = 1;
    last_write_ms = now;
}

void XmodemSender::rewrite(qint64 now)
{
    if (++frame_tries >= bounds.frame_try_limit) {
        cancel(FailReason::retries_exhausted);
        return;
    }
    write(frame);
    ++owed;
    last_write_ms = now;
}

void XmodemSender::write_eot(qint64 now)
{
    frame = QByteArray(1, static_cast<char>(xmodem::eot));
    write(frame);
    ++eot_count;
    last_write_ms = now;
}

void XmodemSender::cancel(FailReason reason)
{
    if (ended != SenderEnd::running)
        return;
    write(QByteArray(2, static_cast<char>(xmodem::can)));
    finish(SenderEnd::failure, reason);
}

void XmodemSender::finish(SenderEnd how, FailReason reason)
{
    ended = how;
    why = reason;
}
