// Starts an update like the operator would, then closes the window DELAY_MS
// later (during the scan or the transfer); exits with the event loop's exit code, as the tool does.
//   close_during_scan IMAGE PORT DELAY_MS

#include "window_probe.h"

#include <QApplication>
#include <QTextCodec>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    if (argc < 4)
        return 2;
    MainWindow window;
    WindowProbe probe(window);
    probe.firmware_path() = QString::fromLocal8Bit(argv[1]);
    if (!probe.tick(QString::fromLocal8Bit(argv[2])))
        return 3;
    window.show();
    probe.send_file();
    if (!probe.scanning())
        return 4;
    QTimer::singleShot(QString::fromLocal8Bit(argv[3]).toInt(), &window, &QWidget::close);
    return app.exec();
}
