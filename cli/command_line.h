#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for. The window opens unless a run or a query
// is asked for; Qt's own options (-style, -platform, ...) are left to Qt.
struct CommandLine
{
    enum class Mode { window, run, list_ports, version, help, usage_error };

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
    bool watch = false;             // fixture loop: each port updates module after module
    double gone_after_seconds = 3;  // silence after which a module counts as taken out
    int count = 0;                  // units in total that end a watch; 0: until a signal
};

CommandLine parse_command_line(const QStringList &arguments);
QString usage_text();

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;
constexpr int exit_aborted = 130;
