#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <functional>

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
    QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}
