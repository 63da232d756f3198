#pragma once

#include <map>
#include <set>
#include <string>

// Misbehaviour of the boot loader's XMODEM receiver, keyed by the 1-based
// count of blocks received in order (not wrapped at 256).
struct BlockFaults {
    std::set<long> nak;                        // NAK the first arrival
    std::set<long> can;                        // answer with CAN, stop receiving
    std::set<long> vanish;                     // close the port, exit 3
    std::map<long, int> silent;                // no reply for COUNT arrivals
    std::map<long, std::string> replyAfter;    // these bytes instead of ACK
    bool nakFirstEot = false;
    std::string badStart;                      // sent once before the start character
    std::map<long, std::string> ackExtra;      // sent right after the first ACK of the block, same write
    std::string eotExtra;                      // sent right after the ACK of the EOT, same write
};

// Faults injected at random, each with its probability per occasion (0: never).
// The same seed and the same frames from the tool give the same faults.
struct RandomFaults {
    unsigned seed = 1;
    double nak = 0;          // NAK an intact new block or the EOT
    double corruptRx = 0;    // damage a byte of a complete frame: the receiver NAKs it
    double corruptTx = 0;    // damage the reply byte on its way to the tool
    double loseReply = 0;    // the reply never reaches the tool
    double dupReply = 0;     // the reply byte arrives twice
    double strayStart = 0;   // a start character right after an ACK
    double can = 0;          // CAN CAN instead of taking a new block
    double vanish = 0;       // the port disappears on a new block
};

struct Options {
    std::string link;
    std::string record;
    std::string out;
    unsigned appBaud = 115200;                 // 0: the application is dead
    std::string okReply = "\r\nOK\r\n";
    bool noise = false;
    unsigned seed = 1;
    double resetAfter = -1;                    // seconds; negative: never
    // A reset wired to the tool's DTR or RTS ("dtr", "rts"; empty: none), read
    // from the line shim's files in lineState; held while the line is asserted
    // (resetActiveHigh) or while it is not.
    std::string resetLine;
    bool resetActiveHigh = true;
    bool bootNow = false;
    bool checksum = false;
    BlockFaults faults;
    long faultyTransfers = -1;                 // transfers the block faults apply to; -1: all
    RandomFaults randomFaults;
    double startRepeat = 1.0;                  // seconds between start characters
    double blockWrite = 0;                     // seconds to write a new block before its ACK
    double firstBlockWrite = -1;               // the same for block 1; negative: as blockWrite
    double duplicateAnswer = 0;                // seconds before the ACK of a block already stored
    double rxGiveUp = -1;                      // seconds of silence; negative: never
    bool pace = false;
    std::string strictLine;                    // the tool's line journal; empty: off
    double adapterLatencyMs = 0;               // an adapter's hold of bytes to the tool; 0: none
    bool adapterHoldModel = false;             // a whole period after the last byte, not the chip's timer
    std::string lineState;                     // the line shim's TESSIK_LINE_STATE_DIR; empty: none
    bool wrongRateGarbage = false;
    std::string peerCommand;
    // The application's identity and version commands (empty: not answered).
    std::string idCommand;
    std::string idReply = "\r\nTESSIK-SIM-0001\r\nOK\r\n";
    std::string versionCommand;
    std::string appVersion = "0.0";            // before an update
    enum class AfterUpdate { Exit, App, Dead };
    AfterUpdate afterUpdate = AfterUpdate::Exit;
    double afterUpdateSeconds = 30;            // how long App and Dead run on
    double afterUpdateReboot = 0;              // seconds from the EOT's ACK until App or Dead starts
    double maxSeconds = 300;
    bool help = false;
};

// Fills opt from the command line; on failure returns false and sets error.
bool parseOptions(int argc, char** argv, Options& opt, std::string& error);

void printHelp(const char* program);
