#pragma once

#include "cli/command_line.h"

// --watch on the command line: the fixture loop of every named port until
// --count units or a signal. Returns the exit code.
int run_watch(const CommandLine &line);
