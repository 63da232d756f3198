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
};

CommandLine parse_command_line(const QStringList &arguments);
QString usage_text();

constexpr int max_retries = 100;
constexpr int max_wait_port_seconds = 24 * 60 * 60;

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;
constexpr int exit_aborted = 130;
