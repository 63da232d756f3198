// The simulated module's XMODEM receiver fed arbitrary bytes, well-formed
// frames, damaged frames, EOT, CAN and the passing of time.
//
// Input: a settings byte (bit 0 checksum mode, bit 1 NAK the first EOT, bit 2
// random faults: nine more bytes give their seed and probabilities, bit 3
// give up after a silence), then operations until the input ends, each an
// opcode byte (% 5) and its operands:
//   0 raw      LEN, LEN bytes fed as they are
//   1 frame    NUMBER_MODE [NUMBER], DATA_LEN, DATA_LEN bytes (the rest of the
//              128 is a pattern), DAMAGE [POSITION XOR], SPLIT: a frame with a
//              correct CRC or checksum, damaged in one byte after the SOH when
//              DAMAGE is odd, fed in two pieces
//   2 EOT
//   3 CAN
//   4 tick     STEPS: time moves on by STEPS * 20 ms
//
// What must hold whatever the input: the received data only grows, by whole
// blocks, and block k (from 1) was sent whole, undamaged, with number k & 0xff,
// after block k-1 ended; the receiver says nothing once it has ended.

#include "xmodem_receiver.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char SOH = 0x01;
const char EOT = 0x04;
const char ACK = 0x06;
const char NAK = 0x15;
const char CAN = 0x18;
const size_t block_size = 128;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_sim_frames: %s\n", what);
    std::abort();
}

// CRC-16/XMODEM from a table, apart from the receiver's bitwise one.
class Crc16Table
{
public:
    Crc16Table()
    {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i << 8;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
            table[i] = static_cast<uint16_t>(crc);
        }
    }

    uint16_t operator()(const std::string &bytes) const
    {
        uint16_t crc = 0;
        for (unsigned char byte : bytes)
            crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ byte) & 0xff]);
        return crc;
    }

private:
    std::array<uint16_t, 256> table{};
};

const Crc16Table crc16;

std::string frame_for(unsigned char number, const std::string &payload, bool checksum)
{
    std::string frame;
    frame += SOH;
    frame += static_cast<char>(number);
    frame += static_cast<char>(0xff - number);
    frame += payload;
    if (checksum) {
        unsigned sum = 0;
        for (unsigned char byte : payload)
            sum += byte;
        frame += static_cast<char>(sum & 0xff);
    } else {
        const uint16_t crc = crc16(payload);
        frame += static_cast<char>(crc >> 8);
        frame += static_cast<char>(crc & 0xff);
    }
    return frame;
}

class Input
{
public:
    Input(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool empty() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    std::string bytes(size_t count)
    {
        count = std::min(count, size - std::min(at, size));
        std::string out(reinterpret_cast<const char *>(data) + at, count);
        at += count;
        return out;
    }

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

class FakeHost : public XmodemHost
{
public:
    void sendToTool(const std::string &bytes, TimePoint) override
    {
        if (ended)
            fail("the receiver spoke after the transfer ended");
        sent += bytes;
    }
    void recordEvent(const std::string &) override {}
    void transferEnded(TransferEnd) override
    {
        if (ended)
            fail("the transfer ended twice");
        ended = true;
    }

    std::string sent;
    bool ended = false;
};

class Check
{
public:
    Check(XmodemReceiver &receiver, FakeHost &host, bool checksum, bool faults)
        : receiver(receiver), host(host), checksum(checksum), faults(faults)
    {
    }

    void feed(const std::string &bytes, TimePoint now)
    {
        stream += bytes;
        const size_t sent_before = host.sent.size();
        receiver.feed(bytes, now);
        after_step(sent_before);
    }

    void tick(TimePoint now)
    {
        const size_t sent_before = host.sent.size();
        receiver.tick(now);
        after_step(sent_before);
    }

private:
    void after_step(size_t sent_before)
    {
        const std::string &data = receiver.data();
        if (data.size() % block_size != 0)
            fail("received data is not a whole number of blocks");
        if (data.size() != static_cast<size_t>(receiver.blocks()) * block_size)
            fail("received data and block count disagree");
        if (data.size() < seen.size() || data.compare(0, seen.size(), seen) != 0)
            fail("received data changed instead of growing");
        const size_t new_blocks = (data.size() - seen.size()) / block_size;
        for (size_t b = seen.size() / block_size; b < data.size() / block_size; ++b) {
            const unsigned char number = static_cast<unsigned char>((b + 1) & 0xff);
            const std::string frame = frame_for(number, data.substr(b * block_size, block_size), checksum);
            const size_t found = stream.find(frame, stream_used);
            if (found == std::string::npos)
                fail("a block was accepted that was never sent whole and intact after the previous one");
            stream_used = found + frame.size();
        }
        seen = data;
        if (receiver.active() == host.ended)
            fail("active() disagrees with the end of the transfer");

        const std::string said = host.sent.substr(sent_before);
        if (faults)
            return;
        for (char byte : said) {
            if (byte != ACK && byte != NAK && byte != CAN && byte != 'C')
                fail("a reply byte other than ACK, NAK, CAN or C");
        }
        if (new_blocks > 0 && std::count(said.begin(), said.end(), ACK) < static_cast<long>(new_blocks))
            fail("a block was stored without an ACK");
    }

    XmodemReceiver &receiver;
    FakeHost &host;
    bool checksum;
    bool faults;
    std::string stream;     // every byte fed so far
    size_t stream_used = 0; // end of the frame of the last block accepted
    std::string seen;       // received data after the previous step
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (crc16(std::string("123456789")) != 0x31C3 || crc16Xmodem(reinterpret_cast<const unsigned char *>("123456789"), 9) != 0x31C3)
        fail("CRC-16/XMODEM check value");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    const uint8_t flags = in.byte();
    ReceiverSettings settings;
    settings.checksum = flags & 1;
    settings.faults.nakFirstEot = flags & 2;
    const bool faults = flags & 4;
    if (faults) {
        settings.random.seed = in.byte();
        for (double *p : {&settings.random.nak, &settings.random.corruptRx, &settings.random.corruptTx,
                          &settings.random.loseReply, &settings.random.dupReply, &settings.random.strayStart,
                          &settings.random.can, &settings.random.vanish})
            *p = in.byte() / 512.0;
    }
    if (flags & 8)
        settings.giveUp = std::chrono::seconds(3);

    FakeHost host;
    XmodemReceiver receiver(host, settings);
    Check check(receiver, host, settings.checksum, faults);
    TimePoint now = TimePoint() + std::chrono::hours(1);
    receiver.start(now);

    while (!in.empty()) {
        switch (in.byte() % 5) {
        case 0:
            check.feed(in.bytes(in.byte()), now);
            break;
        case 1: {
            const long expected = receiver.blocks() + 1;
            long number = expected;
            switch (in.byte() % 4) {
            case 1: number = expected - 1; break;
            case 2: number = in.byte(); break;
            case 3: number = expected + in.byte(); break;
            }
            std::string payload = in.bytes(in.byte() % (block_size + 1));
            while (payload.size() < block_size)
                payload += static_cast<char>(payload.size() * 7 + number);
            std::string frame = frame_for(static_cast<unsigned char>(number & 0xff), payload, settings.checksum);
            if (in.byte() & 1) {
                const size_t position = 1 + in.byte() % (frame.size() - 1);
                frame[position] = static_cast<char>(frame[position] ^ (1 + in.byte() % 255));
            }
            const size_t split = in.byte() % (frame.size() + 1);
            check.feed(frame.substr(0, split), now);
            check.feed(frame.substr(split), now);
            break;
        }
        case 2:
            check.feed(std::string(1, EOT), now);
            break;
        case 3:
            check.feed(std::string(1, CAN), now);
            break;
        case 4:
            now += std::chrono::milliseconds(20) * in.byte();
            check.tick(now);
            break;
        }
    }
    return 0;
}
