#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "app/platform.h"

#include <QDebug>
#include <QLabel>
#include <cstdio>

void MainWindow::open_file()
{
    firmware_path = modal->open_file_name(this, tr("Open Bin"), QStringLiteral("."), tr("Bin(*.bin)"));
    if (!firmware_path.isEmpty())
        modal->warning(this, QStringLiteral("提示"), QStringLiteral("打开升级文件成功"));
    else
        modal->warning(this, QStringLiteral("警告"), QStringLiteral("打开升级文件失败"));
}

// Returns 0 when the image is open and measured, 1 when it could not be opened.
int MainWindow::prepare_update()
{
    app_damaged = 0;
    file_offset = 0;
    bytes_sent = 0;
    block_number = 1;
    xmodem_phase = 0;

    close_image(); // left open by a run that stopped before its transfer
    image_file = open_image(firmware_path);
    qDebug() << "file name  = " << firmware_path.toLocal8Bit() << firmware_path.size() << 4;
    if (!image_file) {
        std::perror("open file error");
        return 1;
    }

    total_bytes = image_size(image_file);
    qDebug() << "TotalBytes =" << total_bytes;

    retry_count = 0;
    // The ports of a run are listed once, when it starts; the next port of the
    // same run keeps that list whatever was ticked meanwhile.
    const bool new_run = current_port == 0;
    if (new_run)
        port_count = 0;
    int row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend() && row < max_ports; ++it, ++row) {
        progress_labels[row]->clear();
        if (!new_run)
            continue;
        update_ports[row].clear();
        if (it.value() == QLatin1String("true"))
            update_ports[port_count++] = it.key();
    }
    return 0;
}

void MainWindow::close_image()
{
    if (image_file) {
        std::fclose(image_file);
        image_file = nullptr;
    }
}
