// The "OK" recogniser of the reset handshake, fed arbitrary polls.
//
// Input: two bytes per poll. The first gives the read's result
// (byte % 3 - 1: -1, 0 or 1), the second the byte read.
//
// The reference model below counts the run of 'O's consumed by the polls
// just before the current one: an 'O' arms the recogniser only when it is not
// itself the second 'O' of a pair, so "OK" and "OOOK" are recognised but
// "OOK" is not (the second 'O' is a byte other than 'K' after an 'O').

#include "protocol/ok_reply.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, size_t poll)
{
    std::fprintf(stderr, "fuzz_ok_reply: %s at poll %zu\n", what, poll);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    OkReplyState state;
    size_t o_run = 0; // 'O's consumed by the polls just before this one
    for (size_t i = 0; i + 1 < size; i += 2) {
        const size_t poll = i / 2;
        const int read_length = data[i] % 3 - 1;
        unsigned char ch = data[i + 1];
#ifndef TESSIK_FUZZ_OK_REPLY_ANY_BYTE_ON_ERROR
        // The caller hands over a line feed when the read failed.
        if (read_length != 1)
            ch = '\n';
#endif
        const bool consumed = read_length == 1;
        const bool expect_recognised = consumed && ch == 'K' && o_run % 2 == 1;

        const OkPoll result = ok_reply_step(state, read_length, ch);

        if (state.o_seen > 1)
            fail("o_seen left the range 0..1", poll);
        if ((result == OkPoll::nothing_read) != (read_length == 0))
            fail("nothing_read does not match an empty read", poll);
        if (result == OkPoll::recognised && !expect_recognised)
            fail("recognised without an 'O' then 'K' on two successive polls", poll);
        if (result != OkPoll::recognised && expect_recognised)
            fail("'O' then 'K' on two successive polls not recognised", poll);

        o_run = consumed && ch == 'O' ? o_run + 1 : 0;
    }
    return 0;
}
