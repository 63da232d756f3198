#include "app/mainwindow.h"

#include "engine/run_session.h"

#include <QLabel>
#include <QPushButton>

// The fixture loop over the ticked ports. "update" stays enabled: pressed
// again, it ends the loop once the units in progress are done.
void MainWindow::start_watch()
{
    start_session(RunMode::fixture_loop);
    connect(session.get(), &RunEvents::progress, this,
            [this](const QString &port, const QString &text) { show_units(port, text); });
    connect(session.get(), &RunSession::unit_ended, this,
            [this](const QString &port) { show_units(port, QString()); });
    for (const QString &port : session->request().ports)
        show_units(port, QString());
    session->start();
    name_update_button();
}

void MainWindow::name_update_button()
{
    if (!parallel)
        update_button->setText(tr("update"));
    else if (watching())
        update_button->setText(tr("stop after the units in progress"));
    else
        update_button->setText(tr("start"));
}

bool MainWindow::watching() const
{
    return session && session->loop() && session->running();
}

// A port's box: the progress of its unit in progress and the units done.
void MainWindow::show_units(const QString &port, const QString &progress)
{
    const int row = port_row(port);
    if (row < 0 || row >= max_ports || !progress_labels[row] || !session || !session->loop())
        return;
    const QString done = tr("units: %1").arg(session->loop()->units_of(port));
    progress_labels[row]->setText(progress.isEmpty() ? done : progress + QStringLiteral("  ") + done);
}
