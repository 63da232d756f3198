#include "xmodem_receiver.h"

#include <utility>

namespace {

const unsigned char SOH = 0x01;
const unsigned char EOT = 0x04;
const char ACK = 0x06;
const char NAK = 0x15;
const unsigned char CAN = 0x18;
const size_t kBlockSize = 128;
const Duration kRetryInterval = std::chrono::seconds(1);

// A damaged reply byte is noise, never one the tool could take for an answer.
bool meaningful(unsigned char byte)
{
    return byte == SOH || byte == EOT || byte == static_cast<unsigned char>(ACK)
        || byte == static_cast<unsigned char>(NAK) || byte == CAN || byte == 'C';
}

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

const char* faultName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::Nak: return "nak";
    case FaultKind::CorruptRx: return "corrupt_rx";
    case FaultKind::CorruptTx: return "corrupt_tx";
    case FaultKind::LoseReply: return "lose_reply";
    case FaultKind::DupReply: return "dup_reply";
    case FaultKind::StrayStart: return "stray_start";
    case FaultKind::Can: return "can";
    case FaultKind::Vanish: return "vanish";
    }
    return "?";
}

XmodemReceiver::XmodemReceiver(XmodemHost& host, const ReceiverSettings& settings)
    : host_(host), checksum_(settings.checksum), faults_(settings.faults), random_(settings.random),
      startRepeat_(settings.startRepeat), giveUp_(settings.giveUp), blockWrite_(settings.blockWrite),
      firstBlockWrite_(settings.firstBlockWrite), duplicateAnswer_(settings.duplicateAnswer),
      faultRandom_(settings.random.seed)
{
}

XmodemReceiver::XmodemReceiver(XmodemHost& host, bool checksumMode, const BlockFaults& faults)
    : XmodemReceiver(host, ReceiverSettings { checksumMode, faults, {}, kRetryInterval, std::nullopt })
{
}

long XmodemReceiver::faultCount() const
{
    long total = 0;
    for (long count : faultCounts_)
        total += count;
    return total;
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
    nextStartChar_ = now + startRepeat_;
}

void XmodemReceiver::feed(const std::string& bytes, TimePoint now)
{
    if (!active_)
        return;
    lastHeard_ = now;
    backlog_ += bytes;
    drainBacklog(now);
}

// Bytes wait in the UART while the module is busy with the last frame.
void XmodemReceiver::drainBacklog(TimePoint now)
{
    size_t used = 0;
    while (used < backlog_.size() && active_ && !busyUntil_)
        feedByte(static_cast<unsigned char>(backlog_[used++]), now);
    backlog_.erase(0, active_ ? used : backlog_.size());
}

void XmodemReceiver::sendOut(const std::string& bytes, TimePoint now)
{
    if (holding_)
        held_ += bytes;
    else
        host_.sendToTool(bytes, now);
}

void XmodemReceiver::tick(TimePoint now)
{
    if (!active_)
        return;
    if (busyUntil_ && now >= *busyUntil_) {
        const TimePoint done = *busyUntil_;
        busyUntil_.reset();
        if (!held_.empty())
            host_.sendToTool(std::exchange(held_, std::string()), done);
        drainBacklog(done);
    }
    if (busyUntil_)
        return;
    if (giveUp_ && started_ && now - lastHeard_ >= *giveUp_) {
        host_.sendToTool(std::string(2, static_cast<char>(CAN)), now);
        end(TransferEnd::GaveUp);
        return;
    }
    if (!frame_.empty() && now - lastFrameByte_ >= kRetryInterval) {
        frame_.clear();
        reply(NAK, now);
    }
    if (!firstBlockSeen_ && frame_.empty() && now >= nextStartChar_) {
        reply(startChar(), now);
        nextStartChar_ = now + startRepeat_;
    }
}

std::optional<TimePoint> XmodemReceiver::deadline() const
{
    if (!active_)
        return std::nullopt;
    if (busyUntil_)
        return busyUntil_;
    std::optional<TimePoint> earliest;
    auto keep = [&earliest](TimePoint t) {
        if (!earliest || t < *earliest)
            earliest = t;
    };
    if (!frame_.empty())
        keep(lastFrameByte_ + kRetryInterval);
    else if (!firstBlockSeen_)
        keep(nextStartChar_);
    if (giveUp_ && started_)
        keep(lastHeard_ + *giveUp_);
    return earliest;
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
        started_ = true;
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
    bool next = number == ((received_ + 1) & 0xff);
    bool duplicate = !next && received_ > 0 && number == (received_ & 0xff);
    long block = duplicate ? received_ : received_ + 1;
    // Noise on a frame that came damaged can make it pass the check again (two
    // byte errors that cancel in the checksum): a frame the noise hit is NAKed
    // whatever it then holds.
    const long storedBefore = received_;
    holding_ = true;
    bool noise = roll(random_.corruptRx);
    if (noise) {
        inject(FaultKind::CorruptRx, block, false);
        size_t at = 1 + faultRandom_() % (frameSize() - 1);
        frame_[at] = static_cast<char>(frame_[at] ^ (1 + faultRandom_() % 255));
    }
    const bool intact = !noise && frameIntact();
    if (!intact)
        answer(NAK, {}, block, false, now);
    else if (next)
        newBlock(block, now);
    else if (duplicate)
        answer(ACK, {}, block, false, now); // already stored
    else
        answer(NAK, {}, block, false, now);
    frame_.clear();
    holding_ = false;
    Duration pace = Duration::zero();
    if (received_ > storedBefore)
        pace = received_ == 1 ? firstBlockWrite_ : blockWrite_;
    else if (duplicate && intact)
        pace = duplicateAnswer_;
    if (active_ && pace > Duration::zero())
        busyUntil_ = now + pace;
    else if (!held_.empty())
        host_.sendToTool(std::exchange(held_, std::string()), now);
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
void XmodemReceiver::newBlock(long n, TimePoint now)
{
    int arrival = ++arrivals_[n];
    if (faults_.vanish.count(n)) {
        end(TransferEnd::Vanish);
        return;
    }
    if (faults_.can.count(n) && arrival == 1) {
        sendOut(std::string(1, static_cast<char>(CAN)), now);
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
    if (roll(random_.vanish)) {
        inject(FaultKind::Vanish, n, false);
        end(TransferEnd::Vanish);
        return;
    }
    if (roll(random_.can)) {
        inject(FaultKind::Can, n, false);
        sendOut(std::string(2, static_cast<char>(CAN)), now);
        end(TransferEnd::SentCan);
        return;
    }
    if (roll(random_.nak)) {
        inject(FaultKind::Nak, n, false);
        answer(NAK, {}, n, false, now);
        return;
    }
    data_.append(frame_, 3, kBlockSize);
    received_ = n;
    auto custom = faults_.replyAfter.find(n);
    if (custom != faults_.replyAfter.end() && arrival == 1) {
        sendOut(custom->second, now);
        return;
    }
    // Stored just now: this is the block's first ACK, later ones answer duplicates.
    auto extra = faults_.ackExtra.find(n);
    answer(ACK, extra != faults_.ackExtra.end() ? extra->second : std::string(), n, false, now);
}

void XmodemReceiver::handleEot(TimePoint now)
{
    host_.recordEvent("eot");
    if (faults_.nakFirstEot && !eotNaked_) {
        eotNaked_ = true;
        reply(NAK, now);
        return;
    }
    if (roll(random_.nak)) {
        inject(FaultKind::Nak, 0, true);
        answer(NAK, {}, 0, true, now);
        return;
    }
    answer(ACK, faults_.eotExtra, 0, true, now);
    end(TransferEnd::Complete);
}

// The answer to a frame or an EOT and the bytes that follow it, in one write,
// as the random faults leave them.
void XmodemReceiver::answer(char byte, const std::string& extra, long block, bool eot, TimePoint now)
{
    std::string bytes(1, byte);
    if (roll(random_.loseReply)) {
        inject(FaultKind::LoseReply, block, eot);
        bytes.clear();
    } else {
        if (roll(random_.corruptTx)) {
            inject(FaultKind::CorruptTx, block, eot);
            unsigned char noise;
            do
                noise = static_cast<unsigned char>(faultRandom_());
            while (meaningful(noise));
            bytes[0] = static_cast<char>(noise);
        }
        if (roll(random_.dupReply)) {
            inject(FaultKind::DupReply, block, eot);
            bytes.push_back(bytes[0]);
        }
    }
    bytes += extra;
    if (byte == ACK && roll(random_.strayStart)) {
        inject(FaultKind::StrayStart, block, eot);
        bytes.push_back('C');
    }
    if (!bytes.empty())
        sendOut(bytes, now);
}

void XmodemReceiver::reply(char byte, TimePoint now)
{
    sendOut(std::string(1, byte), now);
}

// Draws from the generator only for the kinds of fault asked for.
bool XmodemReceiver::roll(double probability)
{
    if (probability <= 0)
        return false;
    return (faultRandom_() >> 8) * (1.0 / 16777216.0) < probability;
}

void XmodemReceiver::inject(FaultKind kind, long block, bool eot)
{
    ++faultCounts_[static_cast<size_t>(kind)];
    host_.faultInjected({ kind, block, eot });
}

void XmodemReceiver::end(TransferEnd how)
{
    holding_ = false;
    if (!held_.empty())
        host_.sendToTool(std::exchange(held_, std::string()), lastHeard_);
    active_ = false;
    ended_ = how;
    frame_.clear();
    host_.transferEnded(how);
}
