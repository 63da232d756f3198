#pragma once

// The process and its console: its arguments, its console, the stop signals.

#include <QString>
#include <QStringList>
#include <cstdio>
#include <functional>

class QObject;

// The program's arguments as the system passed them: on Windows from the
// wide-character command line, so non-ASCII file names arrive intact.
QStringList command_line_arguments(int argc, char *argv[]);

// Command-line use from a Windows console: a program started from Explorer
// for its window gives its own console back; standard output and error use
// UTF-8, Qt's messages go to standard error. Does nothing elsewhere.
void prepare_console(bool window_mode);

// Writes text to a standard stream at once. A stream whose reader went away
// takes nothing more and is not an error of the run.
void put(std::FILE *stream, const QString &text);

// Whether the stream is a terminal that takes the VT100 cursor controls
// (on Windows a console, asked to take them).
bool stream_is_terminal(std::FILE *stream);

// Called first in main: SIGINT and SIGTERM (Windows: Ctrl+C, Ctrl+Break,
// closing the console) are held from then on, so that one that arrives while
// the tool starts up waits for the front end that ends the run cleanly
// instead of killing the tool. release_stop_signals() lets them through to
// the calling thread: to the handler a front end has just set, or with their
// default effect for the modes that set none.
void hold_stop_signals();
void release_stop_signals();

// Windows: Ctrl+C, Ctrl+Break or closing the console calls on_interrupt in
// context's event loop; a second one ends the program at once with
// exit_status. Elsewhere it does nothing (signals are the front end's).
void on_console_interrupt(QObject *context, std::function<void()> on_interrupt, int exit_status);
