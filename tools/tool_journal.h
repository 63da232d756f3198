#pragma once

#include "sim_clock.h"

#include <cstdint>
#include <deque>
#include <string>

// The tool's account of its line for --strict-line (written by its port when
// TESSIK_LINE_JOURNAL names the file): "w <ns> <count>" when bytes reached
// the driver, "r <ns> <baud>" when the rate changes, in the tool's order, on
// the monotonic clock this simulator also keeps.
struct JournalRecord {
    enum class Kind { Write, Rate };
    Kind kind;
    TimePoint at;
    uint64_t value; // bytes written, or the new rate
};

class ToolJournal {
public:
    ~ToolJournal();
    // Creates the file empty; false with a message when it cannot.
    bool create(const std::string& path, std::string& error);
    // The records appended since the last call, a line still being written left for later.
    void readNew(std::deque<JournalRecord>& into);

private:
    int fd_ = -1;
    std::string partial_;
};
