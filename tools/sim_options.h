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
    bool bootNow = false;
    bool checksum = false;
    BlockFaults faults;
    bool pace = false;
    std::string peerCommand;
    double maxSeconds = 300;
    bool help = false;
};

// Fills opt from the command line; on failure returns false and sets error.
bool parseOptions(int argc, char** argv, Options& opt, std::string& error);

void printHelp(const char* program);
