#include "app/mainwindow.h"

#include "platform/platform.h"
#include "platform/trace.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

void MainWindow::load_port_table()
{
    for (const QString &name : list_port_names())
        port_table.insert(name, QStringLiteral("false"));
}

void MainWindow::build_port_rows()
{
    quint8 row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend(); ++it, ++row)
        add_port_row(row, it.key());
}

void MainWindow::add_port_row(quint8 row, const QString &name)
{
    auto *check_box = new QCheckBox(name);
    auto *progress_label = new QLabel(QString());
    if (row < max_ports) {
        check_boxes[row] = check_box;
        progress_labels[row] = progress_label;
    }

    port_column = new QVBoxLayout();
    port_column->addWidget(check_box);
    port_column->addWidget(progress_label);
    ports_layout->addLayout(port_column);
    if (row == 0)
        main_layout->addLayout(ports_layout);

    static const char *const row_slots[max_ports] = {
        SLOT(check_box_status(bool)),  SLOT(check_box_status1(bool)), SLOT(check_box_status2(bool)),
        SLOT(check_box_status3(bool)), SLOT(check_box_status4(bool)), SLOT(check_box_status5(bool)),
        SLOT(check_box_status6(bool)), SLOT(check_box_status7(bool)),
    };
    if (row < max_ports)
        connect(check_box, SIGNAL(toggled(bool)), this, row_slots[row]);
}

// The eight row slots differ only in their row (and the trace of row 1).
void MainWindow::set_row_ticked(int row, bool status)
{
    const QString name = check_boxes[row]->text();
    auto entry = port_table.find(name);
    if (entry != port_table.end())
        entry.value() = status ? QStringLiteral("true") : QStringLiteral("false");
}

void MainWindow::check_box_status(bool status)
{
    set_row_ticked(0, status);
}

void MainWindow::check_box_status1(bool status)
{
    qCDebug(trace) << "status1 = " << (status ? "true" : "false");
    set_row_ticked(1, status);
}

void MainWindow::check_box_status2(bool status)
{
    set_row_ticked(2, status);
}

void MainWindow::check_box_status3(bool status)
{
    set_row_ticked(3, status);
}

void MainWindow::check_box_status4(bool status)
{
    set_row_ticked(4, status);
}

void MainWindow::check_box_status5(bool status)
{
    set_row_ticked(5, status);
}

void MainWindow::check_box_status6(bool status)
{
    set_row_ticked(6, status);
}

void MainWindow::check_box_status7(bool status)
{
    set_row_ticked(7, status);
}

int MainWindow::port_row(const QString &name) const
{
    int row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend(); ++it, ++row) {
        if (it.key() == name)
            return row;
    }
    return -1;
}
