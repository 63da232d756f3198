// Draws the window for the documentation:
//   QT_QPA_PLATFORM=offscreen window_picture FILE.png             as an operator first sees it,
//                                                                 two ports listed (docs/window.png)
//   QT_QPA_PLATFORM=offscreen window_picture --station FILE.png   the station view of sixteen
//                                                                 ports at work (docs/station.png)

#include "app/mainwindow.h"
#include "app/station_view.h"

#include <QApplication>
#include <QPixmap>
#include <cstdio>

namespace {

// A station some minutes into a fixture loop, one tile in each state.
void show_a_busy_station(StationView &station)
{
    StationModel &model = station.model();
    model.set_checks_after_transfer(true);
    model.run_started(model.ports(), -2 * 3600 * 1000); // two hours ago
    station.set_image({QStringLiteral("module-2.4.1.bin"), 786432,
                       QStringLiteral("9f2c41d07be35a18c2e6f0d4b1a7953e08c6d2f1a4b7e9c0d3f6a2b5c8e1f4a7"),
                       QStringLiteral("2.4.1")});
    int index = 0;
    for (const QString &port : model.ports()) {
        const int ok_units = 5 + index % 3;
        for (int unit = 0; unit < ok_units; ++unit) {
            model.attempt_started(port);
            model.attempt_finished(port, PortResult::success, FailReason::ok);
            model.port_done(port, PortResult::success);
        }
        model.attempt_started(port);
        model.module_identified(port, QStringLiteral("TS-%1").arg(40211 + index * 7));
        switch (index % 8) {
        case 0: model.rate_found(port, 115200); break;
        case 1: model.progress(port, 786432 * 43 / 100, 786432); break;
        case 2: model.progress(port, 786432, 786432); break;
        case 3: model.reset_needed(port, -3000); break;
        case 4:
            model.attempt_finished(port, PortResult::failure, FailReason::no_start_request);
            model.port_done(port, PortResult::failure);
            break;
        case 5: model.attempt_finished(port, PortResult::success, FailReason::ok); break;
        case 6: model.progress(port, 786432 * 81 / 100, 786432); break;
        default: model.module_gone(port); break;
        }
        ++index;
    }
    station.show_all();
}

} // namespace

int main(int argc, char *argv[])
{
    const bool station = argc == 3 && QByteArray(argv[1]) == "--station";
    if (argc != 2 && !station) {
        std::fprintf(stderr, "usage: window_picture [--station] FILE.png\n");
        return 2;
    }
    qputenv("TESSIK_SYSTEM_PORTS", "off");
    QByteArray ports = "/dev/ttyUSB0:/dev/ttyUSB1";
    if (station) {
        ports.clear();
        for (int i = 0; i < 16; ++i)
            ports += "/dev/ttyUSB" + QByteArray::number(i) + ':';
    }
    qputenv("TESSIK_EXTRA_PORTS", ports);
    QApplication app(argc, argv);
    MainWindow window;
    if (station) {
        window.set_parallel(true);
        window.set_watch(true);
        window.setGeometry(MainWindow::station_geometry(QRect(0, 0, 1280, 800)));
    }
    window.show();
    QApplication::processEvents();
    if (station) {
        StationView *view = window.findChild<StationView *>();
        show_a_busy_station(*view);
        QApplication::processEvents();
    }
    return window.grab().save(QString::fromLocal8Bit(argv[argc - 1])) ? 0 : 1;
}
