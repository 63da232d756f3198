#pragma once

#include "cli/command_line.h"

// --history: prints the rows or the statistics. Returns the exit code.
int run_history_query(const CommandLine &line);
