#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "app/station_view.h"
#include "engine/messages.h"
#include "engine/run_session.h"
#include "platform/platform.h"
#include "records/run_recorder.h"

#include <QFileInfo>
#include <QLabel>
#include <cstdio>

void MainWindow::open_file()
{
    firmware_path = modal->open_file_name(this, tr("Open Bin"), QStringLiteral("."), tr("Bin(*.bin)"));
    if (session && session->pass())
        session->pass()->set_firmware_path(firmware_path);
    if (station)
        show_image_chosen();
    if (!firmware_path.isEmpty())
        modal->warning(this, tr("提示"), tr("打开升级文件成功"));
    else
        modal->warning(this, messages::warning_title(), messages::image_unreadable());
}

// The station view's header names the image an operator chose, with its size and hash.
void MainWindow::show_image_chosen()
{
    RunContext image;
    if (firmware_path.isEmpty() || !describe_image(firmware_path, image)) {
        station->set_image({});
        return;
    }
    station->set_image({QFileInfo(firmware_path).fileName(), image.image_size, image.image_sha256, QString()});
}

// Returns 0 when the image can be opened (it is measured and listed ports
// are taken from the ticks), 1 when it cannot.
int MainWindow::prepare_update()
{
    close_image();
    image_file = open_measured_image(firmware_path, total_bytes);
    if (!image_file)
        return 1;

    port_count = 0;
    current_port = 0;
    int row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend() && row < max_ports; ++it, ++row) {
        progress_labels[row]->clear();
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
