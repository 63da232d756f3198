#pragma once

#include "sim_clock.h"

#include <cstdio>
#include <string>

// The fields of one record line after "event", already JSON-encoded.
class JsonFields {
public:
    JsonFields& add(const std::string& key, const std::string& value);
    JsonFields& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
    JsonFields& add(const std::string& key, long long value);
    JsonFields& add(const std::string& key, long value) { return add(key, static_cast<long long>(value)); }
    JsonFields& add(const std::string& key, int value) { return add(key, static_cast<long long>(value)); }
    JsonFields& add(const std::string& key, unsigned value) { return add(key, static_cast<long long>(value)); }
    JsonFields& add(const std::string& key, bool value);
    // value must already be valid JSON (e.g. a nested object).
    JsonFields& addRaw(const std::string& key, const std::string& value);
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

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
    void event(const std::string& name, const JsonFields& fields);

private:
    void writeLine(const std::string& fields);

    TimePoint start_;
    std::FILE* file_ = nullptr;
};
