#include "app/mainwindow.h"

#include "engine/fixture_loop.h"

#include <QLabel>
#include <QPushButton>

// The fixture loop over the ticked ports. "update" stays enabled: pressed
// again, it ends the loop once the units in progress are done.
void MainWindow::start_watch()
{
    close_image(); // every unit's update reopens and measures it
    const QStringList ports = run_ports();
    record_run_start(ports);
    if (station)
        disconnect(station.get(), nullptr, this, nullptr);
    FixtureOptions options;
    options.update.checks = run_checks();
    station = std::make_unique<FixtureLoop>(ports, firmware_path, options, 0);
    FixtureLoop *started = station.get();
    show_events_of(started);
    connect(started, &FixtureLoop::progress, this,
            [this](const QString &port, const QString &text) { show_units(port, text); });
    connect(started, &FixtureLoop::unit_ended, this,
            [this](const QString &port) { show_units(port, QString()); });
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
