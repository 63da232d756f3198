#include "app/headless.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QTextCodec>

int main(int argc, char *argv[])
{
    if (wants_headless_run(argc, argv))
        return run_headless(argc, argv);

    QApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    MainWindow window;
    window.show();
    return app.exec();
}
