#include "app/mainwindow.h"

#include "engine/fixture_loop.h"
#include "engine/log_format.h"
#include "records/done_lookup.h"

#include <QDateTime>
#include <QLabel>
#include <QPushButton>

// The fixture loop over the ticked ports. "update" stays enabled: pressed
// again, it ends the loop once the units in progress are done.
void MainWindow::start_watch()
{
    close_image(); // every unit's update reopens and measures it
    QStringList ports;
    for (int i = 0; i < port_count; ++i)
        ports << update_ports[i];
    record_run_start(ports);
    if (station)
        disconnect(station.get(), nullptr, this, nullptr);
    FixtureOptions options;
    options.update.checks = checks;
    if (skip_done && records.enabled) {
        RunContext image;
        describe_image(firmware_path, image);
        options.update.checks.already_done = done_lookup(records.resolved_db_path(), image.image_sha256);
    }
    station = std::make_unique<FixtureLoop>(ports, firmware_path, options, 0);
    FixtureLoop *started = station.get();
    record_history_of(started);

    connect(started, &FixtureLoop::log_line, this,
            [this](const QString &, const QString &body) { append_log(body); });
    connect(started, &FixtureLoop::progress, this,
            [this](const QString &port, const QString &text) { show_units(port, text); });
    connect(started, &FixtureLoop::unit_ended, this,
            [this](const QString &port) { show_units(port, QString()); });
    connect(started, &FixtureLoop::notice, this,
            [this](const QString &, NoticeKind kind, const QString &title, const QString &text) {
                show_notice(kind, title, text);
            });
    connect(started, &FixtureLoop::finished, this, &MainWindow::end_run);
    connect(
        started, &FixtureLoop::image_taken, this,
        [this](const QString &port, const QString &path, qint64 bytes, const QString &sha) {
            const QDateTime now = QDateTime::currentDateTime();
            record.append(
                now.date(),
                format_log_line(
                    now,
                    QStringLiteral("%1 image %2; %3 bytes; SHA-256 %4").arg(port, path).arg(bytes).arg(sha)));
        });
    for (const QString &port : qAsConst(ports))
        show_units(port, QString());
    started->start();
}

bool MainWindow::watching() const
{
    return station && station->running();
}

// A port's box: the progress of its unit in progress and the units done.
void MainWindow::show_units(const QString &port, const QString &progress)
{
    const int row = port_row(port);
    if (row < 0 || row >= max_ports || !progress_labels[row] || !station)
        return;
    const QString done = QStringLiteral("units: %1").arg(station->units_of(port));
    progress_labels[row]->setText(progress.isEmpty() ? done : progress + QStringLiteral("  ") + done);
}
