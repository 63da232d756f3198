#include "protocol/replies.h"

#include "protocol/framing.h"

Reply classify_block_reply(const QByteArray &reply)
{
    if (reply.isEmpty())
        return Reply::none;
    for (int i = reply.size() - 1; i >= 0; --i) {
        switch (static_cast<unsigned char>(reply.at(i))) {
        case xmodem::ack:
            return Reply::ack;
        case xmodem::nak:
            return Reply::nak;
        case xmodem::can:
            return Reply::cancel;
        default:
            break;
        }
    }
    if (reply.size() > 1)
        return Reply::noise;
    return static_cast<unsigned char>(reply.at(0)) == xmodem::crc_request ? Reply::start_request : Reply::other;
}

Reply classify_start_reply(const QByteArray &reply)
{
    if (reply.isEmpty())
        return Reply::none;
    switch (static_cast<unsigned char>(reply.at(0))) {
    case xmodem::crc_request:
        return Reply::start_request;
    case xmodem::nak:
        return Reply::nak;
    default:
        return Reply::other;
    }
}
