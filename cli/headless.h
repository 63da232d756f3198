#pragma once

#include "cli/command_line.h"

// The command line's run: an UpdateRun without a window. Returns the exit code.
int run_headless(const CommandLine &line);

// --list-ports; returns the exit code.
int list_ports(bool json);
