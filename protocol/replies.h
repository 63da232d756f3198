#pragma once

#include <QByteArray>

// What the receiver meant by the bytes of one read.
enum class Reply {
    none,          // nothing arrived
    ack,
    nak,
    cancel,
    start_request, // 'C': a receiver asking for CRC blocks
    other,         // one byte that is none of the above
    noise,         // several bytes, none of them decisive
};

// After a block or the EOT: the last ACK, NAK or CAN of the read decides,
// whatever surrounds it (a banner, a stale start character). A read without
// any of them is `noise`; a lone byte is `start_request` ('C') or `other`.
Reply classify_block_reply(const QByteArray &reply);

// Before the first block: only the first byte counts, 'C' for CRC mode and
// NAK for checksum mode.
Reply classify_start_reply(const QByteArray &reply);
