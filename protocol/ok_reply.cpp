#include "protocol/ok_reply.h"

OkPoll ok_reply_step(OkReplyState &state, int read_length, unsigned char ch)
{
    if (read_length < 0)
        ch = '\n'; // a failed read holds no byte, whatever ch says
    if (read_length == 0) {
        ++state.poll_counter;
        state.o_seen = 0;
        return OkPoll::nothing_read;
    }
    if (state.o_seen == 0) {
        if (ch == 'O') {
            state.o_seen = 1;
            state.poll_counter = 1;
        } else {
            ++state.poll_counter;
        }
        return OkPoll::not_yet;
    }
    if (ch == 'K') {
        state.o_seen = 0;
        state.poll_counter = 0;
        return OkPoll::recognised;
    }
    state.o_seen = 0;
    state.poll_counter = 1;
    return OkPoll::not_yet;
}
