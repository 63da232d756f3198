#pragma once

#include "sim_clock.h"

#include <cstdio>
#include <string>

// Writes the JSON-lines record: one object per line, flushed at once so a
// test can read it while the simulator runs. Does nothing without a file.
class Recorder {
public:
    explicit Recorder(TimePoint start) : start_(start) {}
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    bool open(const std::string& path);
    void rx(const std::string& bytes, unsigned baud);
    void tx(const std::string& bytes);
    void event(const std::string& name);
    void event(const std::string& name, const std::string& key, long long value);

private:
    void writeLine(const std::string& fields);

    TimePoint start_;
    std::FILE* file_ = nullptr;
};
