#pragma once

#include <QtGlobal>

// Recognises the module's "OK" read one byte per poll: 'O' and 'K' must be
// consumed by two successive polls with nothing in between.
struct OkReplyState
{
    quint8 o_seen = 0;
    quint8 poll_counter = 0; // for the trace only; wraps at 256
};

enum class OkPoll {
    not_yet,      // a byte (or a read error) that does not complete "OK"
    nothing_read, // the poll found no byte: the caller sends "+++" again
    recognised,   // this byte was the 'K' of "OK"
};

// One poll: read_length is the read's result (1, 0 or -1), ch the byte read
// (a line feed when the read failed).
OkPoll ok_reply_step(OkReplyState &state, int read_length, unsigned char ch);
