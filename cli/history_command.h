#pragma once

#include "cli/command_line.h"

// --history: prints the rows or the statistics. Returns the exit code.
int run_history_query(const CommandLine &line);

// --report FILE: writes the yield report of the rows the filters match.
int run_report(const CommandLine &line);

// --sync: sends the rows still pending to the central database. 0 only when
// none is left.
int run_sync(const CommandLine &line);
