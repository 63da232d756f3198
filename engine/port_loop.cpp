#include "engine/port_loop.h"

#include "engine/update_run.h"
#include "platform/platform.h"
#include "serial/system_port.h"

#include <QTimer>

namespace {

// Silence at the module's own rate must be heard more than once.
constexpr int module_rate_questions = 2;

QVector<int> all_rates()
{
    return QVector<int>(wire::scan_rates.begin(), wire::scan_rates.end());
}

// The rate the module was heard at, and the boot loader's.
QVector<int> module_rates(int baud)
{
    QVector<int> rates{baud};
    if (baud != wire::boot_loader_rate)
        rates << wire::boot_loader_rate;
    return rates;
}

QVector<int> other_rates(int baud)
{
    QVector<int> rates;
    for (int rate : wire::scan_rates) {
        if (rate != baud && rate != wire::boot_loader_rate)
            rates << rate;
    }
    return rates;
}

} // namespace

PortLoop::PortLoop(const QString &port_name, const QString &firmware_path, FixtureOptions options,
                   QObject *parent)
    : QObject(parent), name(port_name), firmware_path(firmware_path), options(std::move(options)),
      gone_timer(new QTimer(this))
{
    if (!this->options.probe.open_transport)
        this->options.probe.open_transport = this->options.update.open_transport
                                                 ? this->options.update.open_transport
                                                 : system_serial_ports(this->options.update.low_latency);
    const QString &device = this->options.update.device;
    probe = new ModuleProbe(device_name(device.isEmpty() ? name : device), this->options.probe, this);
    gone_timer->setSingleShot(true);
    connect(gone_timer, &QTimer::timeout, this, &PortLoop::check_silence);
    // Queued: the answer comes from inside the port's own read notification,
    // and an update starting closes that port.
    connect(probe, &ModuleProbe::answered, this, &PortLoop::on_answer, Qt::QueuedConnection);
    connect(probe, &ModuleProbe::identified, this, &PortLoop::on_identified, Qt::QueuedConnection);
    connect(probe, &ModuleProbe::unanswered, this, &PortLoop::on_unanswered);
    connect(
        probe, &ModuleProbe::reset_answered, this,
        [this] { arrived_dead = current == FixtureState::waiting_module; }, Qt::QueuedConnection);
    connect(probe, &ModuleProbe::silent_round, this, [this] {
        if (current == FixtureState::waiting_gone && sweeping)
            gone();
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
    probe->ask_rates(all_rates());
    probe->reset_after_silence(parse_reset_sequence(options.update.reset.sequence));
    probe->start();
}

void PortLoop::on_answer(int baud)
{
    if (current == FixtureState::waiting_module) {
        module_baud = baud;
        emit module_ready();
    } else if (current == FixtureState::waiting_gone) {
        heard_since_update = true;
        watch_at(baud, options.gone_after_ms);
    }
}

// From now on the module must keep silent for silence_ms at this rate and
// the boot loader's to count as taken out.
void PortLoop::watch_at(int baud, int silence_ms)
{
    module_baud = baud;
    silent_at_module_baud = 0;
    sweeping = false;
    probe->ask_rates(module_rates(baud));
    gone_timer->start(silence_ms);
}

void PortLoop::on_unanswered(int baud)
{
    if (current != FixtureState::waiting_gone)
        return;
    const QByteArray &id_command = options.update.checks.id_command;
    if (!id_command.isEmpty())
        probe->want_identity(id_command); // who answers next may be another module
    if (!rebooting.hasExpired())
        return;
    if (baud == module_baud)
        ++silent_at_module_baud;
    check_silence();
}

// The silence has lasted: a module heard since its update is gone; one not
// heard yet is looked for at the other rates first.
void PortLoop::check_silence()
{
    if (current != FixtureState::waiting_gone || sweeping || gone_timer->isActive()
        || silent_at_module_baud < module_rate_questions)
        return;
    if (heard_since_update) {
        gone();
        return;
    }
    sweeping = true;
    probe->ask_rates(other_rates(module_baud));
}

void PortLoop::on_identified(const QString &module_id)
{
    if (current != FixtureState::waiting_gone || module_id.isEmpty())
        return;
    if (fixture_id.isEmpty())
        fixture_id = module_id;
    if (module_id == fixture_id)
        return;
    // Swapped faster than any silence could tell: a new unit.
    gone();
    emit module_ready();
}

void PortLoop::gone()
{
    gone_timer->stop();
    sweeping = false;
    current = FixtureState::waiting_module;
    probe->want_identity({});
    probe->ask_rates(all_rates());
    probe->reset_after_silence(parse_reset_sequence(options.update.reset.sequence));
    emit module_gone();
}

void PortLoop::begin_unit()
{
    if (current != FixtureState::waiting_module)
        return;
    probe->stop();
    probe->reset_after_silence({}); // a module in place is not reset while it is watched
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
    update_options.known_dead = attempt == 1 && std::exchange(arrived_dead, false);
    if (attempt == 1 && module_baud > 0 && !update_options.known_dead)
        update_options.known_rate = module_baud; // the probe just heard the module there
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
    const bool retry = last_result == PortResult::failure && !UpdateRun::final_failure(last_reason)
                       && attempt <= options.retries && !aborting;
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
    fixture_id = attempt_module_id;
    heard_since_update = false;
    rebooting.setRemainingTime(options.reboot_ms);
    watch_at(module_baud, options.reboot_ms + options.gone_after_ms);
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
