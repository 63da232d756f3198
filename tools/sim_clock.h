#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

inline Duration seconds(double s)
{
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

// Time one byte of 8N1 needs on the wire: 10 bit times.
inline Duration wireTime(size_t bytes, unsigned baud)
{
    return baud == 0 ? Duration::zero() : seconds(double(bytes) * 10.0 / baud);
}
