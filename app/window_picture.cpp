// Draws the window as an operator first sees it, with two ports listed, into
// a PNG for the documentation (docs/window.png):
//   QT_QPA_PLATFORM=offscreen window_picture FILE.png

#include "app/mainwindow.h"

#include <QApplication>
#include <QPixmap>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_picture FILE.png\n");
        return 2;
    }
    qputenv("TESSIK_SYSTEM_PORTS", "off");
    qputenv("TESSIK_EXTRA_PORTS", "/dev/ttyUSB0:/dev/ttyUSB1");
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    QApplication::processEvents();
    return window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
