#pragma once

#include "engine/check_options.h"
#include "engine/reset_ladder.h"
#include "records/history_filter.h"
#include "records/run_recorder.h"

#include <QString>
#include <QStringList>

// What the command line asks for. The window opens unless a run or a query
// is asked for; Qt's own options (-style, -platform, ...) are left to Qt.
struct CommandLine
{
    enum class Mode { window, run, history, report, sync, list_ports, version, help, usage_error };

    Mode mode = Mode::window;
    QString error; // for usage_error
    QString file;
    QStringList ports;
    bool parallel = false;
    bool json = false;
    bool keep_going = false;
    int retries = 0;
    QString log_file;
    double wait_port_seconds = 0;
    bool verbose = false;
    bool quiet = false; // of the human text only failures and the summary
    int baud = 0;       // --baud: the application's rate, no scan
    bool watch = false;             // fixture loop: each port updates module after module
    double gone_after_seconds = 3;  // silence after which a module counts as taken out
    int count = 0;                  // units in total that end a watch; 0: until a signal
    ResetOptions reset;             // --reset-sequence, --reset-command
    QString expect_sha256; // lower case; empty: any image
    RecordSettings records;
    CheckOptions checks; // --verify, --version-command, --id-command
    bool skip_done = false;
    // --history
    bool stats = false;
    bool csv = false;
    bool central = false; // the query runs on the central database
    HistoryFilter filter;
    QString report_file; // --report
};

CommandLine parse_command_line(const QStringList &arguments);
QString usage_text();
// The line after a usage error's own: where the whole usage is.
QString try_help_text();

constexpr int max_retries = 100;
constexpr int max_wait_port_seconds = 24 * 60 * 60;

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;
constexpr int exit_records = 3; // every port updated, but the history could not be written
constexpr int exit_aborted = 130;
