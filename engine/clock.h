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

// Real time; with a scale above 1 it runs that many times slower, so that
// every bound read from it lasts longer.
class SteadyClock : public Clock
{
public:
    explicit SteadyClock(double scale = 1.0) : scale(scale) { started.start(); }
    qint64 now_ms() const override { return scale == 1.0 ? started.elapsed() : qint64(started.elapsed() / scale); }

private:
    QElapsedTimer started;
    double scale;
};

class ManualClock : public Clock
{
public:
    qint64 now_ms() const override { return now; }
    void advance(qint64 ms) { now += ms; }

private:
    qint64 now = 0;
};
