#pragma once

#include <string>
#include <vector>

// The tool's modem lines and serial flags, as the line shim (line_shim.cpp)
// records them for this simulator's pty.
struct LineLevels {
    long long us = 0; // CLOCK_MONOTONIC, as the shim stamped the change
    bool dtr = true;  // asserted, as after an open on Linux
    bool rts = true;
    bool lowLatency = false;
};

class LineStateReader {
public:
    // dir: the tool's TESSIK_LINE_STATE_DIR; slavePath: this pty's /dev/pts/N.
    void attach(const std::string& dir, const std::string& slavePath);
    bool attached() const { return !path_.empty(); }
    // The changes appended since the last call, oldest first; current() is the last.
    std::vector<LineLevels> poll();
    const LineLevels& current() const { return current_; }

private:
    std::string path_;
    long long offset_ = 0;
    std::string partial_;
    LineLevels current_;
};
