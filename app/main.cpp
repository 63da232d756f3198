#include "app/mainwindow.h"
#include "cli/command_line.h"
#include "cli/file_names.h"
#include "cli/headless.h"
#include "cli/history_command.h"
#include "cli/run_signals.h"
#include "platform/platform.h"

#include <QApplication>
#include <QFile>
#include <cstdio>

int main(int argc, char *argv[])
{
    hold_stop_signals(); // until a front end takes them, or the mode says it takes none
    // UTF-8 as the local 8-bit codec, keeping the bytes of names that are
    // not valid UTF-8 so that they still open.
    use_byte_keeping_file_names();
    CommandLine line = parse_command_line(command_line_arguments(argc, argv));
    apply_settings_file(line.records);
    line.checks.verify = line.checks.verify || line.records.verify;
    prepare_console(line.mode == CommandLine::Mode::window);

    if (line.mode == CommandLine::Mode::window) {
        QApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tessik-update-tool"));
        QCoreApplication::setApplicationVersion(QStringLiteral(TESSIK_VERSION));
        MainWindow window;
        window.set_parallel(line.parallel || line.watch);
        window.set_watch(line.watch);
        window.set_records(line.records);
        window.set_checks(line.checks, line.skip_done);
        RunSignals signal_handling([&window] { window.end_on_signal(exit_aborted); });
        window.show();
        return app.exec();
    }

    // Without a window, Qt's own event loop instead of GLib's: every byte
    // from every port wakes it, and a round of GLib's costs about half as much again.
    const bool glib_chosen = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!glib_chosen)
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (!glib_chosen)
        qunsetenv("QT_NO_GLIB"); // for the threads' loops and any program started
    QCoreApplication::setApplicationName(QStringLiteral("tessik-update-tool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSIK_VERSION));
    if (line.mode != CommandLine::Mode::run)
        release_stop_signals();
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
    case CommandLine::Mode::history:
        return run_history_query(line);
    case CommandLine::Mode::sync:
        return run_sync(line);
    default:
        return run_headless(line);
    }
}
