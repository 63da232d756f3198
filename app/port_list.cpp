#include "app/mainwindow.h"

#include "app/station_view.h"

#include "platform/platform.h"
#include "platform/trace.h"

#include "engine/run_session.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>

void MainWindow::load_port_table()
{
    for (const QString &name : port_lister())
        port_table.insert(name, QStringLiteral("false"));
}

void MainWindow::build_port_rows()
{
    adapters = adapter_lister();
    quint8 row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend(); ++it, ++row)
        add_port_row(row, it.key());
}

void MainWindow::add_port_row(quint8 row, const QString &name)
{
    auto *check_box = new QCheckBox(name);
    check_box->setToolTip(port_tooltip(name));
    auto *progress_label = new QLabel(QString());
    if (row < max_ports) {
        check_boxes[row] = check_box;
        progress_labels[row] = progress_label;
    }

    if (station) {
        station->add_tile(name, adapter_line(name), check_box, progress_label);
        if (row >= max_ports) {
            // Beyond the slot table's rows: a tick of any port counts in the station view.
            connect(check_box, &QCheckBox::toggled, this, [this, name](bool on) {
                auto entry = port_table.find(name);
                if (entry != port_table.end())
                    entry.value() = on ? QStringLiteral("true") : QStringLiteral("false");
            });
            return;
        }
    } else {
        port_column = new QVBoxLayout();
        port_column->addWidget(check_box);
        port_column->addWidget(progress_label);
        ports_layout->addLayout(port_column);
        if (row == 0 && main_layout->indexOf(ports_layout) < 0)
            main_layout->insertLayout(1, ports_layout); // between the prompt and the log
    }

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

// Runs once a second. An update in progress keeps its rows: the run finds
// its progress labels by port name, and the operator's view stays put.
void MainWindow::poll_ports()
{
    if (session && session->running())
        return;
    QStringList names = port_lister();
    names.removeDuplicates();
    std::sort(names.begin(), names.end()); // QMap's key order
    if (names != port_table.keys())
        rebuild_port_rows(names);
}

void MainWindow::rebuild_port_rows(const QStringList &names)
{
    const QMap<QString, QString> old_table = port_table;
    QMap<QString, QString> progress;
    for (int row = 0; row < max_ports && check_boxes[row]; ++row)
        progress.insert(check_boxes[row]->text(), progress_labels[row]->text());

    remove_port_rows();
    port_table.clear();
    for (const QString &name : names)
        port_table.insert(name, QStringLiteral("false"));
    build_port_rows();

    // A port pushed beyond the eighth row loses its tick: its box has no
    // slot there, so the operator could not take the tick back.
    int row = 0;
    for (auto it = port_table.begin(); it != port_table.end() && row < max_ports; ++it, ++row) {
        if (old_table.value(it.key()) == QLatin1String("true")) {
            it.value() = QStringLiteral("true");
            const QSignalBlocker quiet(check_boxes[row]);
            check_boxes[row]->setChecked(true);
        }
        progress_labels[row]->setText(progress.value(it.key()));
    }
    // The station view has no eighth-row limit: every port keeps its tick.
    for (auto it = port_table.begin(); station && it != port_table.end(); ++it) {
        if (old_table.value(it.key()) == QLatin1String("true") && it.value() != QLatin1String("true")) {
            it.value() = QStringLiteral("true");
            if (QCheckBox *box = box_of(it.key())) {
                const QSignalBlocker quiet(box);
                box->setChecked(true);
            }
        }
    }
}

// Deletes the rows' widgets and column layouts; ports_layout itself stays,
// out of main_layout until a row is built again.
void MainWindow::remove_port_rows()
{
    if (station)
        station->clear_tiles(); // with the boxes and labels they hold
    while (QLayoutItem *column = ports_layout->takeAt(0)) {
        if (QLayout *cells = column->layout()) {
            while (QLayoutItem *cell = cells->takeAt(0)) {
                delete cell->widget();
                delete cell;
            }
        }
        delete column;
    }
    std::fill(std::begin(check_boxes), std::end(check_boxes), nullptr);
    std::fill(std::begin(progress_labels), std::end(progress_labels), nullptr);
    port_column = nullptr;
    if (main_layout->indexOf(ports_layout) >= 0) {
        main_layout->removeItem(ports_layout);
        ports_layout->setParent(nullptr);
    }
}

QCheckBox *MainWindow::box_of(const QString &name) const
{
    if (station)
        return station->check_box(name);
    const int row = port_row(name);
    return row >= 0 && row < max_ports ? check_boxes[row] : nullptr;
}

// The first of what the system knows of a port's adapter; empty when it knows nothing.
QString MainWindow::adapter_line(const QString &name) const
{
    const QStringList lines = port_tooltip(name).split(QLatin1Char('\n'));
    return lines.size() > 1 ? lines.first() : QString();
}

// What the system knows of the adapter behind a port, else its device.
QString MainWindow::port_tooltip(const QString &name) const
{
    const QString device = device_name(name);
    const QString target = device_identity(device); // udev links, symlinks
    for (const AdapterDetails &adapter : adapters) {
        const bool same = adapter.port_name == name || adapter.system_location == device
                          || (!target.isEmpty() && adapter.system_location == target);
        if (!same)
            continue;
        QStringList lines;
        if (!adapter.description.isEmpty())
            lines << adapter.description;
        if (!adapter.manufacturer.isEmpty())
            lines << adapter.manufacturer;
        if (!adapter.serial_number.isEmpty())
            lines << tr("Serial number %1").arg(adapter.serial_number);
        if (!adapter.vid_pid.isEmpty())
            lines << tr("VID:PID %1").arg(adapter.vid_pid);
        if (adapter_latencies.value(name, -1) >= 0)
            lines << tr("Latency %1 ms").arg(adapter_latencies.value(name));
        lines << device;
        return lines.join(QLatin1Char('\n'));
    }
    return device;
}
