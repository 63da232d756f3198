#include "engine/update_run.h"

#include "engine/messages.h"

#include <QTimer>

UpdateRun::UpdateRun(const QStringList &ports, const QString &firmware_path, RunOptions options,
                     QObject *parent)
    : RunEvents(parent), firmware_path(firmware_path), options(std::move(options))
{
    clock = this->options.update.clock ? this->options.update.clock : &own_clock;
    update_ports = ports;
    port_count = update_ports.size();
    ledger = RunLedger(update_ports);
    updates.resize(port_count);
    started_at.fill(0, port_count);
    attempt_started_at.fill(0, port_count);
    attempts.fill(0, port_count);
    for (int i = 0; i < port_count; ++i)
        results.append({update_ports[i], PortResult::skipped, FailReason::not_started, 0});
    this->options.update.name_every_line = this->options.update.name_every_line || this->options.parallel;
}

UpdateRun::~UpdateRun()
{
    for (const QPointer<PortUpdate> &update : qAsConst(updates))
        delete update.data();
}

bool UpdateRun::final_failure(FailReason reason)
{
    return reason == FailReason::aborted || reason == FailReason::no_file || reason == FailReason::image_unreadable;
}

PortUpdate *UpdateRun::update_of(const QString &port) const
{
    for (int i = 0; i < port_count; ++i) {
        if (update_ports[i] == port && updates[i] && updates[i]->running())
            return updates[i];
    }
    return nullptr;
}

PortUpdate *UpdateRun::current_update() const
{
    return current_port < updates.size() ? updates[current_port].data() : nullptr;
}

void UpdateRun::start()
{
    if (started)
        return;
    started = true;
    // Every first attempt of a parallel run starts here, so none of them
    // ends the run before the others have begun.
    for (int i = 0; i < (options.parallel ? int(port_count) : qMin(1, int(port_count))); ++i)
        start_port(i);
    finish_if_complete();
}

void UpdateRun::start_later(int index)
{
    QTimer::singleShot(0, this, [this, index] { start_port(index); });
}

void UpdateRun::start_port(int index)
{
    const QString port = update_ports[index];
    if (ended || ledger.ended(port))
        return;
    if (++attempts[index] == 1)
        started_at[index] = now_ms();
    attempt_started_at[index] = now_ms();
    if (firmware_path.isEmpty()) {
        // The file was unchosen during the run: this port cannot start.
        emit notice(port, NoticeKind::warning, QCoreApplication::translate("messages", "Waring"),
                    QCoreApplication::translate("messages", "Please Selcet File"));
        emit log_line(port, port + messages::port_failed());
        port_ended(index, PortResult::failure, FailReason::no_file);
        return;
    }
    if (updates[index])
        updates[index]->deleteLater();
    UpdateOptions port_options = options.update;
    port_options.device = options.devices.value(port);
    auto *update = new PortUpdate(port, firmware_path, port_options, this);
    updates[index] = update;
    connect(update, &PortUpdate::log_line, this, [this, port](const QString &body) { emit log_line(port, body); });
    connect(update, &PortUpdate::progress, this, [this, port](const QString &text, qint64 sent, qint64 total) {
        emit progress(port, text, sent, total);
    });
    connect(update, &PortUpdate::notice, this, [this, port](NoticeKind kind, const QString &title, const QString &text) {
        emit notice(port, kind, title, text);
    });
    connect(update, &PortUpdate::rate_found, this, [this, port](int baud) { emit rate_found(port, baud); });
    connect(update, &PortUpdate::reset_needed, this, [this, port] { emit reset_needed(port); });
    connect(update, &PortUpdate::resetting, this,
            [this, port](const QString &by) { emit resetting(port, by); });
    connect(update, &PortUpdate::image_taken, this, [this, port](const QString &path, qint64 bytes, const QString &sha) {
        emit image_taken(port, path, bytes, sha);
    });
    connect(update, &PortUpdate::module_identified, this,
            [this, port](const QString &id) { emit module_identified(port, id); });
    connect(update, &PortUpdate::facts_known, this, [this, port](const PortFacts &facts) { emit facts_known(port, facts); });
    connect(update, &PortUpdate::latency_known, this,
            [this, port](int ms, bool low) { emit latency_known(port, ms, low); });
    connect(update, &PortUpdate::finished, this,
            [this, index](PortResult result, FailReason reason) { port_ended(index, result, reason); });
    emit attempt_started(port, attempts[index]);
    if (attempts[index] > 1)
        emit log_line(port, port + QCoreApplication::translate("messages", " attempt %1 of %2").arg(attempts[index]).arg(options.retries + 1));
    if (!ledger.ended(port)) // not aborted by a receiver of the signals above
        update->send_file();
}

void UpdateRun::port_ended(int index, PortResult result, FailReason reason)
{
    if (ended || ledger.ended(update_ports[index]))
        return;
    const QString port = update_ports[index];
    emit attempt_finished(port, attempts[index], result, reason, (now_ms() - attempt_started_at[index]) / 1000.0);
    if (result == PortResult::failure && !final_failure(reason) && attempts[index] <= options.retries) {
        start_later(index);
        return;
    }
    record_end(index, result, reason);
    const bool go_on = result == PortResult::success || reason == FailReason::already_done
                       || (options.keep_going && reason != FailReason::aborted);
    if (!options.parallel && go_on && index + 1 < port_count) {
        current_port = index + 1;
        start_later(current_port);
        return;
    }
    if (!options.parallel)
        skip_from(index + 1);
    finish_if_complete();
}

void UpdateRun::record_end(int index, PortResult result, FailReason reason)
{
    const double seconds = attempts[index] > 0 ? (now_ms() - started_at[index]) / 1000.0 : 0.0;
    const PortSummary end{update_ports[index], result, reason, seconds};
    if (!ledger.end(end))
        return;
    if (attempts[index] == 0 && result == PortResult::skipped && reason == FailReason::not_started)
        emit attempt_finished(end.port, 0, result, reason, 0.0);
    results[index] = end;
    emit port_finished(end.port, result, reason, seconds);
}

void UpdateRun::skip_from(int index)
{
    for (int i = index; i < port_count; ++i)
        record_end(i, PortResult::skipped, FailReason::not_started);
}

void UpdateRun::abort()
{
    if (!running())
        return;
    for (int i = 0; i < port_count; ++i) {
        if (updates[i] && updates[i]->running())
            updates[i]->abort();
    }
    // Ports between two attempts end as aborted, ports never started as skipped.
    for (int i = 0; i < port_count; ++i) {
        if (attempts[i] > 0)
            record_end(i, PortResult::failure, FailReason::aborted);
    }
    skip_from(0);
    finish_if_complete();
}

void UpdateRun::finish_if_complete()
{
    if (ended || !ledger.complete())
        return;
    ended = true;
    current_port = 0;
    emit finished();
}
