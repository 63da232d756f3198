#include "app/mainwindow.h"
#include "cli/command_line.h"
#include "cli/file_names.h"
#include "cli/headless.h"
#include "cli/history_command.h"
#include "cli/run_signals.h"
#include "cli/watch.h"
#include "platform/language.h"
#include "platform/platform.h"
#include "records/central_url.h"
#include "records/record_settings.h"

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <cstdio>

namespace {

// A settings file that cannot be used ends the tool before anything starts;
// the window also shows why, for an operator who started it from a menu.
int refuse_settings(const QString &error, bool window, int &argc, char **argv)
{
    std::fprintf(stderr, "tessik-update-tool: %s\n", qPrintable(error));
    if (window) {
        QApplication app(argc, argv);
        QMessageBox::critical(nullptr, QStringLiteral("tessik-update-tool"), error);
    }
    return exit_usage;
}

// --lang, else language= in the settings file, else Chinese.
Language language_of(const RecordSettings &records)
{
    Language language = Language::chinese;
    language_named(records.language, language);
    return language;
}

} // namespace

int main(int argc, char *argv[])
{
    hold_stop_signals(); // until a front end takes them, or the mode says it takes none
    // UTF-8 as the local 8-bit codec, keeping the bytes of names that are
    // not valid UTF-8 so that they still open.
    use_byte_keeping_file_names();
    const QStringList arguments = command_line_arguments(argc, argv);
    CommandLine line = parse_command_line(arguments);
    if (central_db_holds_password(line.records.central_db))
        std::fprintf(stderr,
                     "tessik-update-tool: warning: every user can read the password of --central-db in the "
                     "process list; keep it in PGPASSFILE (~/.pgpass) or in central_db in %s (mode 600)\n",
                     qPrintable(settings_file_path()));
    const SettingsFileReport settings = apply_settings_file(line.records);
    for (const QString &warning : settings.warnings)
        std::fprintf(stderr, "tessik-update-tool: %s\n", qPrintable(warning));
    if (!settings.error.isEmpty())
        return refuse_settings(settings.error, line.mode == CommandLine::Mode::window, argc, argv);
    line.checks.verify = line.checks.verify || line.records.verify;
    // The command line's reset over the station's; the window reads them from its settings.
    if (!line.reset.sequence.isEmpty())
        line.records.reset_sequence = line.reset.sequence;
    if (!line.reset.command.isEmpty())
        line.records.reset_command = line.reset.command;
    line.reset.sequence = line.records.reset_sequence;
    line.reset.command = line.records.reset_command;
    prepare_console(line.mode == CommandLine::Mode::window);

    if (line.mode == CommandLine::Mode::window) {
        if (!line.verbose)
            QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));
        QApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tessik-update-tool"));
        QCoreApplication::setApplicationVersion(QStringLiteral(TESSIK_VERSION));
        MainWindow window;
        window.set_parallel(line.parallel || line.watch);
        window.set_watch(line.watch);
        window.set_records(line.records);
        window.set_checks(line.checks, line.skip_done);
        window.use_language(language_of(line.records));
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
    TextLanguage texts;
    texts.use(language_of(line.records));
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
        // Parsed again for the error's words in the language now in use.
        std::fprintf(stderr, "tessik-update-tool: %s\n%s", parse_command_line(arguments).error.toUtf8().constData(),
                     try_help_text().toUtf8().constData());
        return exit_usage;
    case CommandLine::Mode::list_ports:
        return list_ports(line.json);
    case CommandLine::Mode::history:
        return run_history_query(line);
    case CommandLine::Mode::report:
        return run_report(line);
    case CommandLine::Mode::sync:
        return run_sync(line);
    default:
        if (!line.verbose)
            QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));
        return line.watch ? run_watch(line) : run_headless(line);
    }
}
