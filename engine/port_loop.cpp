#include "engine/port_loop.h"

#include "platform/platform.h"

#include <QTimer>

PortLoop::PortLoop(const QString &port_name, const QString &firmware_path, FixtureOptions options,
                   QObject *parent)
    : QObject(parent), name(port_name), firmware_path(firmware_path), options(std::move(options)),
      gone_timer(new QTimer(this))
{
    if (!this->options.probe.open_transport)
        this->options.probe.open_transport = this->options.update.open_transport;
    const QString &device = this->options.update.device;
    probe = new ModuleProbe(device_name(device.isEmpty() ? name : device), this->options.probe, this);
    gone_timer->setSingleShot(true);
    connect(gone_timer, &QTimer::timeout, this, &PortLoop::check_gone);
    // Queued: the answer comes from inside the port's own read notification,
    // and an update starting closes that port.
    connect(probe, &ModuleProbe::answered, this, &PortLoop::on_answer, Qt::QueuedConnection);
    connect(probe, &ModuleProbe::silent_round, this, [this] {
        silent_since_answer = true;
        check_gone();
    });
    connect(probe, &ModuleProbe::port_missing, this, [this] {
        if (current == FixtureState::waiting_gone)
            gone();
    });
}

PortLoop::~PortLoop()
{
    if (update) {
        disconnect(update, nullptr, this, nullptr);
        delete update.data();
    }
}

void PortLoop::start()
{
    if (current != FixtureState::idle)
        return;
    current = FixtureState::waiting_module;
    probe->start();
}

void PortLoop::on_answer()
{
    if (current == FixtureState::waiting_module) {
        emit module_ready();
    } else if (current == FixtureState::waiting_gone) {
        silent_since_answer = false;
        gone_timer->start(options.gone_after_ms);
    }
}

// Taken out: the port vanished, or it has been silent for the whole time and
// for a whole round of rates (a module rebooting into another rate answers late).
void PortLoop::check_gone()
{
    if (current == FixtureState::waiting_gone && !gone_timer->isActive() && silent_since_answer)
        gone();
}

void PortLoop::gone()
{
    gone_timer->stop();
    current = FixtureState::waiting_module;
    emit module_gone();
}

void PortLoop::begin_unit()
{
    if (current != FixtureState::waiting_module)
        return;
    probe->stop();
    current = FixtureState::updating;
    ++unit_count;
    attempt = 0;
    unit_clock.start();
    emit unit_started(unit_count);
    start_update();
}

void PortLoop::start_update()
{
    ++attempt;
    UpdateOptions update_options = options.update;
    if (!update_options.checks.id_command.isEmpty()) {
        const auto known = update_options.checks.already_done;
        update_options.checks.already_done = [left_in = updated_id, known](const QString &module_id) {
            return (!left_in.isEmpty() && module_id == left_in) || (known && known(module_id));
        };
    }
    attempt_module_id.clear();
    attempt_clock.start();
    update = new PortUpdate(name, firmware_path, update_options, this);
    connect(update, &PortUpdate::module_identified, this, [this](const QString &id) { attempt_module_id = id; });
    connect(update, &PortUpdate::finished, this, &PortLoop::update_ended);
    connect(update, &QObject::destroyed, this, &PortLoop::update_gone);
    emit update_created(update, attempt);
    update->send_file();
}

// The next step waits until the update has let go of the port.
void PortLoop::update_ended(PortResult result, FailReason reason)
{
    last_result = result;
    last_reason = reason;
    if (result == PortResult::success)
        updated_id = attempt_module_id;
    emit attempt_finished(attempt, result, reason, attempt_clock.elapsed() / 1000.0);
    if (update)
        update->deleteLater();
}

void PortLoop::update_gone()
{
    if (current != FixtureState::updating)
        return;
    const bool retry = last_result == PortResult::failure && last_reason != FailReason::aborted
                       && last_reason != FailReason::no_file && attempt <= options.retries && !aborting;
    if (retry) {
        start_update();
        return;
    }
    if (last_result != PortResult::skipped)
        ++units_done;
    emit unit_ended(unit_count, last_result, last_reason, unit_clock.elapsed() / 1000.0);
    if (stop_after_unit) {
        finish();
        return;
    }
    current = FixtureState::waiting_gone;
    silent_since_answer = false;
    gone_timer->start(options.gone_after_ms);
    probe->start();
}

void PortLoop::stop()
{
    stop_after_unit = true;
    if (current != FixtureState::updating)
        finish();
}

void PortLoop::abort()
{
    stop_after_unit = true;
    aborting = true;
    if (current != FixtureState::updating)
        finish();
    else if (update && update->running())
        update->abort();
}

void PortLoop::finish()
{
    probe->stop();
    gone_timer->stop();
    if (current == FixtureState::stopped)
        return;
    current = FixtureState::stopped;
    emit stopped();
}
