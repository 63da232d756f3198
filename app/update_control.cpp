#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "app/station_view.h"
#include "engine/image.h"
#include "engine/log_format.h"
#include "engine/messages.h"
#include "engine/run_session.h"
#include "records/done_lookup.h"
#include "records/run_recorder.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <cstdio>

void MainWindow::send_file()
{
    if (watching()) {
        // Before the stop: with no unit in progress the loop ends inside it.
        update_button->setText(tr("stopping after the units in progress"));
        update_button->setEnabled(false);
        session->stop();
        return;
    }
    if (firmware_path.isEmpty()) {
        modal->warning(this, tr("Waring"), tr("Please Selcet File"));
        update_button->setEnabled(true);
        return;
    }
    if (session && session->running())
        return;

    if (prepare_update() != 0) {
        append_log(first_ticked_port() + messages::image_unreadable());
        end_run();
        modal->warning(this, messages::warning_title(), messages::image_unreadable());
        return;
    }
    if (station ? run_ports().isEmpty() : update_ports[current_port].isEmpty()) {
        modal->warning(this, tr("waring"), tr("please select com"));
        return;
    }
    if (!image_approved())
        return;
    if (watch && parallel)
        start_watch();
    else
        start_run();
}

// With a trusted key, an image that no signed release lists is refused
// before any port is touched, and the window says why.
bool MainWindow::image_approved()
{
    release = {};
    approved_image.reset();
    if (records.trusted_key.isEmpty())
        return true;
    const ImageRead read = read_image(firmware_path);
    release = read.image ? release_approval(records, read.image->sha256_hex())
                         : ReleaseApproval{read.message, {}, {}, {}, {}};
    if (release.approved()) {
        approved_image = read.image;
        append_log(tr("release %1, signed by key %2: %3")
                       .arg(release.release, release.key_id, release.trusted_comment));
        return true;
    }
    const QString why = tr("The image is not approved for flashing: %1. No port was touched.").arg(release.error);
    append_log(why);
    std::fprintf(stderr, "tessik-update-tool: %s\n", why.toLocal8Bit().constData());
    close_image();
    end_run();
    modal->critical(this, QStringLiteral("tessik-update-tool"), why);
    return false;
}

void MainWindow::start_run()
{
    start_session(parallel ? RunMode::parallel : RunMode::one_after_another);
    connect(session.get(), &RunEvents::progress, this, [this](const QString &port, const QString &text) {
        const int row = port_row(port);
        if (row >= 0 && row < max_ports && progress_labels[row])
            progress_labels[row]->setText(text);
    });
    if (!station) {
        // The log's prompt is the module vendor's words; the label under the
        // port's box says which module it means, until the attempt goes on.
        connect(session.get(), &RunEvents::reset_needed, this, [this](const QString &port) {
            const int row = port_row(port);
            if (row >= 0 && row < max_ports && progress_labels[row])
                progress_labels[row]->setText(reset_prompt_of(port));
        });
        connect(session.get(), &RunEvents::attempt_finished, this, [this](const QString &port) {
            const int row = port_row(port);
            if (row >= 0 && row < max_ports && progress_labels[row]
                && progress_labels[row]->text() == reset_prompt_of(port))
                progress_labels[row]->clear();
        });
    }
    UpdateRun *pass = session->pass();
    connect(session.get(), &RunEvents::attempt_started, this,
            [this, pass] { current_port = pass->current_port; });
    update_button->setEnabled(false);
    session->start();
}

// A new session over the ticked ports, shown and recorded; not started yet.
// Every port's update reads the image when it begins, as the press's own,
// unless a trusted key approved the bytes it sends.
void MainWindow::start_session(RunMode mode)
{
    close_image();
    RunRequest request;
    request.mode = mode;
    request.ports = run_ports();
    request.image_path = firmware_path;
    request.image = approved_image;
    request.checks = run_checks();
    request.low_latency = records.low_latency;
    request.reset.sequence = records.reset_sequence;
    request.reset.command = records.reset_command;
    record_run_start(request.ports);
    if (session)
        disconnect(session.get(), nullptr, this, nullptr);
    session = std::make_unique<RunSession>(request);
    show_events_of(session.get());
    if (station)
        station->watch(session.get());
}

QString MainWindow::reset_prompt_of(const QString &port)
{
    return port + QStringLiteral(": ") + messages::app_damaged();
}

QStringList MainWindow::run_ports() const
{
    QStringList ports;
    if (station) {
        // Any number of ports: the ticks of all of them, past the slot table's eight.
        for (auto it = port_table.cbegin(); it != port_table.cend(); ++it) {
            if (it.value() == QLatin1String("true"))
                ports << it.key();
        }
        return ports;
    }
    for (int i = 0; i < port_count; ++i)
        ports << update_ports[i];
    return ports;
}

// The checks of this press; with --skip-done, the modules that already have the image.
CheckOptions MainWindow::run_checks() const
{
    CheckOptions run = checks;
    if (skip_done && records.enabled) {
        RunContext image;
        describe_image(firmware_path, image);
        run.already_done = done_lookup(records.resolved_db_path(), image.image_sha256);
    }
    return run;
}

// What a run and a fixture loop show alike: the log, the boxes, the record, the end.
void MainWindow::show_events_of(RunEvents *started)
{
    record_history_of(started);
    connect(started, &RunEvents::log_line, this,
            [this](const QString &, const QString &body) { append_log(body); });
    connect(started, &RunEvents::notice, this,
            [this](const QString &, NoticeKind kind, const QString &title, const QString &text) {
                show_notice(kind, title, text);
            });
    connect(started, &RunEvents::finished, this, &MainWindow::end_run);
    connect(started, &RunEvents::latency_known, this, [this](const QString &port, int ms, bool) {
        const bool newly_slow = ms > slow_adapter_latency_ms
                                && adapter_latencies.value(port, -1) <= slow_adapter_latency_ms;
        adapter_latencies[port] = ms;
        if (newly_slow)
            append_log(messages::slow_adapter(port, ms));
        for (int row = 0; row < max_ports && check_boxes[row]; ++row) {
            if (check_boxes[row]->text() == port)
                check_boxes[row]->setToolTip(port_tooltip(port));
        }
    });
    // Each port reads the image when it begins: the record names what it was sent.
    connect(
        started, &RunEvents::image_taken, this,
        [this](const QString &port, const QString &path, qint64 bytes, const QString &sha) {
            const QDateTime now = QDateTime::currentDateTime();
            record.append(
                now.date(),
                format_log_line(
                    now,
                    QStringLiteral("%1 image %2; %3 bytes; SHA-256 %4").arg(port, path).arg(bytes).arg(sha)));
        });
}

void MainWindow::show_notice(NoticeKind kind, const QString &title, const QString &text)
{
    if (parallel) {
        // Many ports at once: a box per failure would cover the log that tells it.
        append_log(title + QStringLiteral(": ") + text);
        return;
    }
    if (kind == NoticeKind::critical)
        modal->critical(this, title, text);
    else
        modal->warning(this, title, text);
}

// Every ending of a run leaves the tool ready for the next press of "update".
void MainWindow::end_run()
{
    update_button->setEnabled(true);
    name_update_button();
    current_port = 0;
    if (exit_status_after_run >= 0)
        QCoreApplication::exit(exit_status_after_run);
}

void MainWindow::end_on_signal(int exit_status)
{
    exit_status_after_run = exit_status;
    if (session && session->running())
        session->abort();
    else
        QCoreApplication::exit(exit_status);
}

QString MainWindow::first_ticked_port() const
{
    int row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend() && row < max_ports; ++it, ++row) {
        if (it.value() == QLatin1String("true"))
            return it.key();
    }
    return QString();
}

PortUpdate *MainWindow::current_update() const
{
    return session && session->pass() ? session->pass()->current_update() : nullptr;
}

// The slot table's entries for the update's steps hand on to its engine.
void MainWindow::recv_bit()
{
    if (PortUpdate *update = current_update())
        update->recv_bit();
}

void MainWindow::recv_xmodem_bit()
{
    if (PortUpdate *update = current_update())
        update->recv_xmodem_bit();
}

void MainWindow::check_reset()
{
    if (PortUpdate *update = current_update())
        update->check_reset();
}

void MainWindow::get_scan_result(bool found, QString rate, quint8 open_failed, quint8 mode)
{
    if (PortUpdate *update = current_update())
        update->get_scan_result(found, rate, open_failed, mode);
}
