// Starts an update like the operator would, then closes the window WHEN
// milliseconds later (during the scan), or at the first progress shown when
// WHEN is "progress" (mid-transfer). Exits with the event loop's exit code, as the tool does.
//   close_during_scan IMAGE PORT WHEN

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
    const QString when = QString::fromLocal8Bit(argv[3]);
    if (when == QLatin1String("progress")) // queued: not from inside the run's own signal
        QObject::connect(probe.run(), &UpdateRun::progress, &window, &QWidget::close, Qt::QueuedConnection);
    else
        QTimer::singleShot(when.toInt(), &window, &QWidget::close);
    return app.exec();
}
