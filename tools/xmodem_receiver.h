#pragma once

#include "sim_clock.h"
#include "sim_options.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>

// CRC-16/XMODEM: poly 0x1021, init 0; "123456789" gives 0x31C3.
uint16_t crc16Xmodem(const unsigned char* data, size_t size);

enum class TransferEnd {
    Complete,       // EOT acknowledged
    Vanish,         // --vanish-block or a random vanish: the port must disappear
    SentCan,        // --can-block or a random CAN: receiving stopped
    ToolCancelled,  // the tool sent CAN CAN between frames
    GaveUp,         // the tool fell silent mid-transfer: CAN CAN sent, receiving stopped
};

enum class FaultKind { Nak, CorruptRx, CorruptTx, LoseReply, DupReply, StrayStart, Can, Vanish };
constexpr size_t kFaultKinds = 8;

// "nak", "corrupt_rx", ... as in the record.
const char* faultName(FaultKind kind);

struct FaultEvent {
    FaultKind kind;
    long block;     // 1-based count of blocks in order (not wrapped); 0 for the EOT
    bool eot;
};

class XmodemHost {
public:
    virtual void sendToTool(const std::string& bytes, TimePoint now) = 0;
    virtual void recordEvent(const std::string& name) = 0;
    virtual void transferEnded(TransferEnd end) = 0;
    virtual void faultInjected(const FaultEvent&) {}

protected:
    ~XmodemHost() = default;
};

struct ReceiverSettings {
    bool checksum = false;
    BlockFaults faults;
    RandomFaults random;
    Duration startRepeat = std::chrono::seconds(1);
    std::optional<Duration> giveUp;    // silence after the first SOH before giving up
    // The module's own pace: it reads nothing while it writes a block to
    // flash or looks up a duplicate, and answers when done.
    Duration blockWrite = Duration::zero();      // before the ACK of a new block
    Duration firstBlockWrite = Duration::zero(); // the same for block 1 (an erase first)
    Duration duplicateAnswer = Duration::zero(); // before the ACK of a block already stored
};

// The boot loader's XMODEM receiver (128-byte SOH blocks, CRC or checksum).
// Needs no pty: feed() it the tool's bytes and tick() it as time passes; all
// it says goes through the host.
class XmodemReceiver {
public:
    XmodemReceiver(XmodemHost& host, const ReceiverSettings& settings);
    XmodemReceiver(XmodemHost& host, bool checksumMode, const BlockFaults& faults);

    void start(TimePoint now);
    void feed(const std::string& bytes, TimePoint now);
    void tick(TimePoint now);
    std::optional<TimePoint> deadline() const;
    bool active() const { return active_; }
    const std::string& data() const { return data_; }
    long blocks() const { return received_; }
    bool complete() const { return ended_ == TransferEnd::Complete; }
    long faultCount(FaultKind kind) const { return faultCounts_[static_cast<size_t>(kind)]; }
    long faultCount() const;

private:
    void feedByte(unsigned char byte, TimePoint now);
    void drainBacklog(TimePoint now);
    void sendOut(const std::string& bytes, TimePoint now);
    void byteBetweenFrames(unsigned char byte, TimePoint now);
    void frameComplete(TimePoint now);
    bool frameIntact() const;
    void newBlock(long n, TimePoint now);
    void handleEot(TimePoint now);
    void answer(char byte, const std::string& extra, long block, bool eot, TimePoint now);
    void reply(char byte, TimePoint now);
    void end(TransferEnd how);
    size_t frameSize() const { return checksum_ ? 132 : 133; }
    char startChar() const;
    bool roll(double probability);
    void inject(FaultKind kind, long block, bool eot);

    XmodemHost& host_;
    bool checksum_;
    BlockFaults faults_;
    RandomFaults random_;
    Duration startRepeat_;
    std::optional<Duration> giveUp_;
    Duration blockWrite_, firstBlockWrite_, duplicateAnswer_;
    std::optional<TimePoint> busyUntil_; // answering the last frame then
    std::string held_;                   // that answer
    bool holding_ = false;
    std::string backlog_;                // bytes that came while busy
    std::mt19937 faultRandom_;
    std::array<long, kFaultKinds> faultCounts_ {};
    bool active_ = false;
    std::optional<TransferEnd> ended_;
    bool firstBlockSeen_ = false;
    bool started_ = false;            // a frame has begun to arrive
    TimePoint lastHeard_;
    TimePoint nextStartChar_;
    std::string frame_;
    TimePoint lastFrameByte_;
    bool lastWasCan_ = false;
    long received_ = 0;               // blocks accepted so far
    std::map<long, int> arrivals_;    // block -> times it arrived intact and in order
    bool eotNaked_ = false;
    std::string data_;
};
