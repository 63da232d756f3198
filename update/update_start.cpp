#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "app/platform.h"
#include "serial/scan_thread.h"
#include "serial/serial_port.h"

#include <QPushButton>

void MainWindow::send_file()
{
    if (firmware_path.isEmpty()) {
        modal->warning(this, QStringLiteral("Waring"), QStringLiteral("Please Selcet File"));
        update_button->setEnabled(true);
        return;
    }

    const bool new_run = current_port == 0;
    if (prepare_update() != 0) {
        const QString name = new_run ? first_ticked_port() : update_ports[current_port];
        append_log(name + QStringLiteral("打开升级文件失败"));
        end_run();
        modal->warning(this, QStringLiteral("警告"), QStringLiteral("打开升级文件失败"));
        return;
    }

    if (update_ports[current_port].isEmpty()) {
        modal->warning(this, QStringLiteral("waring"), QStringLiteral("please select com"));
        return;
    }

    release_finished_threads();
    scan_thread = new Thread(update_ports[current_port], 0);
    scan_threads << scan_thread;
    connect(scan_thread, SIGNAL(scan_result(bool,QString,quint8,quint8)), this,
            SLOT(get_scan_result(bool,QString,quint8,quint8)));
    scan_thread->start(QThread::InheritPriority);
    update_button->setEnabled(false);
}

void MainWindow::get_scan_result(bool found, QString rate, quint8 open_failed, quint8 mode)
{
    Q_UNUSED(mode);
    if (open_failed == 1) {
        modal->critical(this, tr("Serial port failed to open"),
                        tr("Serial port failed to open ")
                            + tr("\n the serial device does not exist or has been occupied"));
        end_run();
        return;
    }

    rate_text = rate;
    disconnect(scan_thread, nullptr, nullptr, nullptr);
    scan_thread->exit(0);

    if (!found) {
        append_log(QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"));
        app_damaged = 1;
    }

    const quint8 opened = open_update_port(current_port);
    pause_ms(1500);
    if (opened == 0)
        port->readAll();
    if (opened == 1) {
        end_run();
        return;
    }

    send_escape();
    if (app_damaged != 1)
        append_log(QStringLiteral("开始升级") + update_ports[current_port]
                   + QStringLiteral("对应的设备......."));
}

// Every ending of a run leaves the tool ready for the next press of "update".
void MainWindow::end_run()
{
    update_button->setEnabled(true);
    current_port = 0;
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

void MainWindow::release_finished_threads()
{
    for (auto it = scan_threads.begin(); it != scan_threads.end();) {
        if ((*it)->isFinished()) {
            delete *it;
            it = scan_threads.erase(it);
        } else {
            ++it;
        }
    }
}
