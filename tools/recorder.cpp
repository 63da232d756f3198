#include "recorder.h"

namespace {

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 0x0f]);
    }
    return hex;
}

// Keys and values are the simulator's own words: quotes and backslashes are
// all that could break the line.
std::string quoted(const std::string& text)
{
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            result.push_back('\\');
        result.push_back(c);
    }
    return result + "\"";
}

} // namespace

JsonFields& JsonFields::add(const std::string& key, const std::string& value)
{
    return addRaw(key, quoted(value));
}

JsonFields& JsonFields::add(const std::string& key, long long value)
{
    return addRaw(key, std::to_string(value));
}

JsonFields& JsonFields::add(const std::string& key, bool value)
{
    return addRaw(key, value ? "true" : "false");
}

JsonFields& JsonFields::addRaw(const std::string& key, const std::string& value)
{
    if (!text_.empty())
        text_ += ',';
    text_ += quoted(key) + ':' + value;
    return *this;
}

Recorder::~Recorder()
{
    if (file_)
        std::fclose(file_);
}

bool Recorder::open(const std::string& path)
{
    file_ = std::fopen(path.c_str(), "we");
    return file_ != nullptr;
}

void Recorder::rx(const std::string& bytes, unsigned baud)
{
    writeLine("\"dir\":\"rx\",\"baud\":" + std::to_string(baud) + ",\"hex\":\"" + toHex(bytes) + "\"");
}

void Recorder::tx(const std::string& bytes)
{
    writeLine("\"dir\":\"tx\",\"hex\":\"" + toHex(bytes) + "\"");
}

void Recorder::event(const std::string& name)
{
    writeLine("\"event\":\"" + name + "\"");
}

void Recorder::event(const std::string& name, const std::string& key, long long value)
{
    writeLine("\"event\":\"" + name + "\",\"" + key + "\":" + std::to_string(value));
}

void Recorder::event(const std::string& name, const JsonFields& fields)
{
    writeLine("\"event\":\"" + name + "\"" + (fields.text().empty() ? "" : "," + fields.text()));
}

void Recorder::writeLine(const std::string& fields)
{
    if (!file_)
        return;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
    std::fprintf(file_, "{\"t\":%lld,\"us\":%lld,%s}\n", static_cast<long long>(us / 1000),
                 static_cast<long long>(us), fields.c_str());
    std::fflush(file_);
}
