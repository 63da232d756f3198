#include "engine/update_run.h"

UpdateRun::UpdateRun(const QStringList &ports, const QString &firmware_path, RunOptions options,
                     QObject *parent)
    : QObject(parent), firmware_path(firmware_path), options(std::move(options))
{
    for (const QString &port : ports) {
        if (port_count == max_ports)
            break;
        update_ports[port_count++] = port;
    }
    updates.resize(port_count);
    started_at.resize(port_count);
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
    if (port_count == 0) {
        finish_run();
        return;
    }
    if (options.parallel) {
        for (int i = 0; i < port_count; ++i)
            start_port(i);
    } else {
        start_port(0);
    }
}

void UpdateRun::start_port(int index)
{
    const QString port = update_ports[index];
    ++attempts[index];
    started_at[index].start();
    if (firmware_path.isEmpty()) {
        // The file was unchosen during the run: this port cannot start.
        emit notice(port, NoticeKind::warning, QStringLiteral("Waring"), QStringLiteral("Please Selcet File"));
        emit log_line(port, port + QStringLiteral("对应设备升级失败"));
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
    connect(update, &PortUpdate::image_taken, this, [this, port](const QString &path, qint64 bytes, const QString &sha) {
        emit image_taken(port, path, bytes, sha);
    });
    connect(update, &PortUpdate::finished, this,
            [this, index](PortResult result, FailReason reason) { port_ended(index, result, reason); });
    emit port_started(port, attempts[index]);
    if (attempts[index] > 1)
        emit log_line(port, port + QStringLiteral(" attempt %1 of %2").arg(attempts[index]).arg(options.retries + 1));
    update->send_file();
}

void UpdateRun::port_ended(int index, PortResult result, FailReason reason)
{
    if (ended)
        return;
    const QString port = update_ports[index];
    if (result == PortResult::failure && reason != FailReason::aborted && reason != FailReason::no_file
        && attempts[index] <= options.retries) {
        start_port(index);
        return;
    }
    const double seconds = started_at[index].isValid() ? started_at[index].elapsed() / 1000.0 : 0.0;
    results[index] = {port, result, reason, seconds};
    emit port_finished(port, result, reason, seconds);

    if (options.parallel) {
        if (live_count() == 0)
            finish_run();
        return;
    }
    const bool go_on = result == PortResult::success || (options.keep_going && reason != FailReason::aborted);
    if (go_on && index + 1 < port_count) {
        current_port = static_cast<quint8>(index + 1);
        start_port(current_port);
        return;
    }
    skip_from(index + 1);
    finish_run();
}

int UpdateRun::live_count() const
{
    int live = 0;
    for (const QPointer<PortUpdate> &update : updates)
        live += update && update->running() ? 1 : 0;
    return live;
}

void UpdateRun::skip_from(int index)
{
    for (int i = index; i < port_count; ++i) {
        if (results[i].reason == FailReason::not_started)
            emit port_finished(update_ports[i], PortResult::skipped, FailReason::not_started, 0);
    }
}

void UpdateRun::abort()
{
    if (!running())
        return;
    for (int i = 0; i < port_count; ++i) {
        if (updates[i] && updates[i]->running())
            updates[i]->abort();
    }
    if (!ended) {
        skip_from(0);
        finish_run();
    }
}

void UpdateRun::finish_run()
{
    if (ended)
        return;
    ended = true;
    current_port = 0;
    emit finished();
}
