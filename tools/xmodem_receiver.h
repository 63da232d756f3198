#pragma once

#include "sim_clock.h"
#include "sim_options.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// CRC-16/XMODEM: poly 0x1021, init 0; "123456789" gives 0x31C3.
uint16_t crc16Xmodem(const unsigned char* data, size_t size);

enum class TransferEnd {
    Complete,       // EOT acknowledged
    Vanish,         // --vanish-block hit: the port must disappear
    SentCan,        // --can-block hit: receiving stopped
    ToolCancelled,  // the tool sent CAN CAN between frames
};

class XmodemHost {
public:
    virtual void sendToTool(const std::string& bytes, TimePoint now) = 0;
    virtual void recordEvent(const std::string& name) = 0;
    virtual void transferEnded(TransferEnd end) = 0;

protected:
    ~XmodemHost() = default;
};

// The boot loader's XMODEM receiver (128-byte SOH blocks, CRC or checksum).
class XmodemReceiver {
public:
    XmodemReceiver(XmodemHost& host, bool checksumMode, const BlockFaults& faults);

    void start(TimePoint now);
    void feed(const std::string& bytes, TimePoint now);
    void tick(TimePoint now);
    std::optional<TimePoint> deadline() const;
    bool active() const { return active_; }
    const std::string& data() const { return data_; }

private:
    void feedByte(unsigned char byte, TimePoint now);
    void byteBetweenFrames(unsigned char byte, TimePoint now);
    void frameComplete(TimePoint now);
    bool frameIntact() const;
    void newBlock(TimePoint now);
    void handleEot(TimePoint now);
    void reply(char byte, TimePoint now);
    void end(TransferEnd how);
    size_t frameSize() const { return checksum_ ? 132 : 133; }
    char startChar() const;

    XmodemHost& host_;
    bool checksum_;
    BlockFaults faults_;
    bool active_ = false;
    bool firstBlockSeen_ = false;
    TimePoint nextStartChar_;
    std::string frame_;
    TimePoint lastFrameByte_;
    bool lastWasCan_ = false;
    long received_ = 0;               // blocks accepted so far
    std::map<long, int> arrivals_;    // block -> times it arrived intact and in order
    bool eotNaked_ = false;
    std::string data_;
};
