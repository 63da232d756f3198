#include "xmodem_receiver.h"

namespace {

const unsigned char SOH = 0x01;
const unsigned char EOT = 0x04;
const char ACK = 0x06;
const char NAK = 0x15;
const unsigned char CAN = 0x18;
const size_t kBlockSize = 128;
const Duration kRetryInterval = std::chrono::seconds(1);

} // namespace

uint16_t crc16Xmodem(const unsigned char* data, size_t size)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

XmodemReceiver::XmodemReceiver(XmodemHost& host, bool checksumMode, const BlockFaults& faults)
    : host_(host), checksum_(checksumMode), faults_(faults)
{
}

char XmodemReceiver::startChar() const
{
    return checksum_ ? NAK : 'C';
}

void XmodemReceiver::start(TimePoint now)
{
    active_ = true;
    if (!faults_.badStart.empty())
        host_.sendToTool(faults_.badStart, now);
    reply(startChar(), now);
    nextStartChar_ = now + kRetryInterval;
}

void XmodemReceiver::feed(const std::string& bytes, TimePoint now)
{
    for (char c : bytes) {
        if (!active_)
            return;
        feedByte(static_cast<unsigned char>(c), now);
    }
}

void XmodemReceiver::tick(TimePoint now)
{
    if (!active_)
        return;
    if (!frame_.empty() && now - lastFrameByte_ >= kRetryInterval) {
        frame_.clear();
        reply(NAK, now);
    }
    if (!firstBlockSeen_ && frame_.empty() && now >= nextStartChar_) {
        reply(startChar(), now);
        nextStartChar_ = now + kRetryInterval;
    }
}

std::optional<TimePoint> XmodemReceiver::deadline() const
{
    if (!active_)
        return std::nullopt;
    if (!frame_.empty())
        return lastFrameByte_ + kRetryInterval;
    if (!firstBlockSeen_)
        return nextStartChar_;
    return std::nullopt;
}

void XmodemReceiver::feedByte(unsigned char byte, TimePoint now)
{
    if (frame_.empty()) {
        byteBetweenFrames(byte, now);
        return;
    }
    frame_.push_back(static_cast<char>(byte));
    lastFrameByte_ = now;
    if (frame_.size() == frameSize())
        frameComplete(now);
}

// Outside a frame only SOH, EOT and a double CAN mean something.
void XmodemReceiver::byteBetweenFrames(unsigned char byte, TimePoint now)
{
    if (byte == CAN) {
        if (lastWasCan_)
            end(TransferEnd::ToolCancelled);
        lastWasCan_ = true;
        return;
    }
    lastWasCan_ = false;
    if (byte == SOH) {
        frame_.push_back(static_cast<char>(byte));
        lastFrameByte_ = now;
    } else if (byte == EOT) {
        handleEot(now);
    }
}

void XmodemReceiver::frameComplete(TimePoint now)
{
    if (!firstBlockSeen_) {
        firstBlockSeen_ = true;
        host_.recordEvent("first_block");
    }
    auto number = static_cast<unsigned char>(frame_[1]);
    if (!frameIntact())
        reply(NAK, now);
    else if (number == ((received_ + 1) & 0xff))
        newBlock(now);
    else if (received_ > 0 && number == (received_ & 0xff))
        reply(ACK, now); // duplicate of the previous block: already stored
    else
        reply(NAK, now);
    frame_.clear();
}

bool XmodemReceiver::frameIntact() const
{
    auto byteAt = [this](size_t i) { return static_cast<unsigned char>(frame_[i]); };
    if ((byteAt(1) ^ byteAt(2)) != 0xff)
        return false;
    auto data = reinterpret_cast<const unsigned char*>(frame_.data()) + 3;
    if (checksum_) {
        unsigned sum = 0;
        for (size_t i = 0; i < kBlockSize; ++i)
            sum += data[i];
        return (sum & 0xff) == byteAt(3 + kBlockSize);
    }
    unsigned expected = (byteAt(3 + kBlockSize) << 8) | byteAt(4 + kBlockSize);
    return crc16Xmodem(data, kBlockSize) == expected;
}

// An intact block with the next number: apply the faults asked for, else store it.
void XmodemReceiver::newBlock(TimePoint now)
{
    long n = received_ + 1;
    int arrival = ++arrivals_[n];
    if (faults_.vanish.count(n)) {
        end(TransferEnd::Vanish);
        return;
    }
    if (faults_.can.count(n) && arrival == 1) {
        host_.sendToTool(std::string(1, static_cast<char>(CAN)), now);
        end(TransferEnd::SentCan);
        return;
    }
    auto silent = faults_.silent.find(n);
    if (silent != faults_.silent.end() && arrival <= silent->second)
        return;
    if (faults_.nak.count(n) && arrival == 1) {
        reply(NAK, now);
        return;
    }
    data_.append(frame_, 3, kBlockSize);
    received_ = n;
    auto custom = faults_.replyAfter.find(n);
    if (custom != faults_.replyAfter.end() && arrival == 1)
        host_.sendToTool(custom->second, now);
    else
        reply(ACK, now);
}

void XmodemReceiver::handleEot(TimePoint now)
{
    host_.recordEvent("eot");
    if (faults_.nakFirstEot && !eotNaked_) {
        eotNaked_ = true;
        reply(NAK, now);
        return;
    }
    reply(ACK, now);
    end(TransferEnd::Complete);
}

void XmodemReceiver::reply(char byte, TimePoint now)
{
    host_.sendToTool(std::string(1, byte), now);
}

void XmodemReceiver::end(TransferEnd how)
{
    active_ = false;
    frame_.clear();
    host_.transferEnded(how);
}
