#include "engine/fixture_loop.h"

#include <QCoreApplication>

void StationCounters::add(PortResult result, double seconds)
{
    if (result == PortResult::skipped) {
        ++skipped;
        return;
    }
    if (result == PortResult::success)
        ++ok;
    else
        ++failed;
    unit_seconds += seconds;
}

double StationCounters::per_hour(double elapsed_seconds) const
{
    return elapsed_seconds > 0 ? units() * 3600.0 / elapsed_seconds : 0.0;
}

double StationCounters::mean_seconds() const
{
    return units() > 0 ? unit_seconds / units() : 0.0;
}

FixtureLoop::FixtureLoop(const QStringList &ports, const QString &firmware_path, FixtureOptions options,
                         int count, const QMap<QString, QString> &devices, QObject *parent)
    : RunEvents(parent), count(count), retries(options.retries)
{
    options.update.name_every_line = options.update.name_every_line || ports.size() > 1;
    for (const QString &port : ports) {
        FixtureOptions port_options = options;
        port_options.update.device = devices.value(port);
        add_port(port, firmware_path, port_options);
    }
    current_total.fill(0, loops.size());
}

void FixtureLoop::add_port(const QString &port, const QString &firmware_path, FixtureOptions options)
{
    const int index = loops.size();
    auto *loop = new PortLoop(port, firmware_path, std::move(options), this);
    loops << loop;
    connect(loop, &PortLoop::module_ready, this, [this, index] { module_ready(index); });
    connect(loop, &PortLoop::update_created, this,
            [this, port](PortUpdate *update, int attempt) { connect_update(port, update, attempt); });
    connect(loop, &PortLoop::unit_started, this,
            [this, port, index](int unit) { emit unit_started(port, unit, current_total[index]); });
    connect(loop, &PortLoop::unit_ended, this,
            [this, port, index](int unit, PortResult result, FailReason reason, double seconds) {
                if (result == PortResult::skipped)
                    --units_started; // its number towards the count is free again
                tally.add(result, seconds);
                emit unit_ended(port, unit, current_total[index], result, reason, seconds);
                if (count > 0 && tally.units() >= count)
                    stop(); // the port that ended this unit stops once it returns
            });
    connect(loop, &PortLoop::attempt_finished, this,
            [this, port](int attempt, PortResult result, FailReason reason, double seconds) {
                emit attempt_finished(port, attempt, result, reason, seconds);
            });
    connect(loop, &PortLoop::module_gone, this, [this, port] { emit module_gone(port); });
    connect(loop, &PortLoop::stopped, this, &FixtureLoop::loop_stopped);
}

void FixtureLoop::connect_update(const QString &port, PortUpdate *update, int attempt)
{
    if (attempt > 1)
        emit log_line(port, port + QCoreApplication::translate("messages", " attempt %1 of %2").arg(attempt).arg(retries + 1));
    emit attempt_started(port, attempt);
    connect(update, &PortUpdate::module_identified, this,
            [this, port](const QString &id) { emit module_identified(port, id); });
    connect(update, &PortUpdate::facts_known, this,
            [this, port](const PortFacts &facts) { emit facts_known(port, facts); });
    connect(update, &PortUpdate::latency_known, this,
            [this, port](int ms, bool low) { emit latency_known(port, ms, low); });
    connect(update, &PortUpdate::log_line, this,
            [this, port](const QString &body) { emit log_line(port, body); });
    connect(update, &PortUpdate::progress, this,
            [this, port](const QString &text, qint64 sent, qint64 total) {
                emit progress(port, text, sent, total);
            });
    connect(update, &PortUpdate::notice, this,
            [this, port](NoticeKind kind, const QString &title, const QString &text) {
                emit notice(port, kind, title, text);
            });
    connect(update, &PortUpdate::rate_found, this, [this, port](int baud) { emit rate_found(port, baud); });
    connect(update, &PortUpdate::reset_needed, this, [this, port] { emit reset_needed(port); });
    connect(update, &PortUpdate::resetting, this,
            [this, port](const QString &by) { emit resetting(port, by); });
    connect(update, &PortUpdate::image_taken, this,
            [this, port](const QString &path, qint64 bytes, const QString &sha) {
                emit image_taken(port, path, bytes, sha);
            });
}

void FixtureLoop::start()
{
    if (started)
        return;
    started = true;
    clock.start();
    if (loops.isEmpty()) {
        loop_stopped();
        return;
    }
    for (PortLoop *loop : qAsConst(loops))
        loop->start();
}

// A place towards the count is taken when the update starts, so the count is
// never passed by ports finishing together. While every place left is taken,
// a module found waits: the unit in progress may give its place back.
void FixtureLoop::module_ready(int index)
{
    if (count > 0 && units_started >= count)
        return;
    ++units_started;
    current_total[index] = ++numbered;
    loops[index]->begin_unit();
}

void FixtureLoop::stop()
{
    if (!running())
        return;
    for (PortLoop *loop : qAsConst(loops))
        loop->stop();
}

void FixtureLoop::abort()
{
    if (!running())
        return;
    for (PortLoop *loop : qAsConst(loops))
        loop->abort();
}

void FixtureLoop::loop_stopped()
{
    for (PortLoop *loop : qAsConst(loops)) {
        if (loop->state() != FixtureState::stopped)
            return;
    }
    if (ended)
        return;
    ended = true;
    emit finished();
}

int FixtureLoop::units_of(const QString &port) const
{
    for (PortLoop *loop : loops) {
        if (loop->port_name() == port)
            return loop->units();
    }
    return 0;
}
