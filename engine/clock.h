#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

// Where the update's time bounds read the time; tests put a clock they
// advance themselves in its place.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual qint64 now_ms() const = 0;
};

class SteadyClock : public Clock
{
public:
    SteadyClock() { started.start(); }
    qint64 now_ms() const override { return started.elapsed(); }

private:
    QElapsedTimer started;
};

class ManualClock : public Clock
{
public:
    qint64 now_ms() const override { return now; }
    void advance(qint64 ms) { now += ms; }

private:
    qint64 now = 0;
};
