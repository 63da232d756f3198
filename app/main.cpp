#include "app/mainwindow.h"
#include "cli/command_line.h"
#include "cli/headless.h"
#include "platform/platform.h"

#include <QApplication>
#include <QTextCodec>
#include <cstdio>

int main(int argc, char *argv[])
{
    const CommandLine line = parse_command_line(command_line_arguments(argc, argv));
    prepare_console(line.mode == CommandLine::Mode::window);

    if (line.mode == CommandLine::Mode::window) {
        QApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tessik-update-tool"));
        QCoreApplication::setApplicationVersion(QStringLiteral(TESSIK_VERSION));
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
        MainWindow window;
        window.set_parallel(line.parallel || line.watch);
        window.set_watch(line.watch);
        window.show();
        return app.exec();
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessik-update-tool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSIK_VERSION));
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    switch (line.mode) {
    case CommandLine::Mode::help:
        std::fputs(usage_text().toUtf8().constData(), stdout);
        return exit_ok;
    case CommandLine::Mode::version:
        std::printf("tessik-update-tool %s\n", TESSIK_VERSION);
        return exit_ok;
    case CommandLine::Mode::usage_error:
        std::fprintf(stderr, "tessik-update-tool: %s\n\n%s", line.error.toUtf8().constData(),
                     usage_text().toUtf8().constData());
        return exit_usage;
    case CommandLine::Mode::list_ports:
        return list_ports(line.json);
    default:
        return run_headless(line);
    }
}
