#pragma once

#include <QEventLoop>
#include <QtGlobal>
#include <QObject>
#include <QTimer>
#include <functional>

// A test's bound on something the tool does grows with the tool's own
// windows, which the stress mode's TESSIK_TIME_SCALE (1 to 20) lengthens.
inline int scaled_bound(int ms)
{
    bool ok = false;
    const double scale = qEnvironmentVariable("TESSIK_TIME_SCALE").toDouble(&ok);
    return ok && scale > 1.0 && scale <= 20.0 ? int(ms * scale) : ms;
}

// Runs the event loop until done() holds or the time is up. Unlike QTRY_*
// (which sleeps 10 ms between rounds of events) the update's 1 ms timer
// runs at its own pace meanwhile.
inline bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(scaled_bound(timeout_ms), &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}
