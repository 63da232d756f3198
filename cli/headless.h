#pragma once

#include "cli/command_line.h"

struct Image;

// The command line's run: an UpdateRun without a window. Returns the exit code.
int run_headless(const CommandLine &line);

// --expect-sha256: true, after saying why, when the image is another.
bool refuse_other_image(const CommandLine &line, const Image &image);

// --list-ports; returns the exit code.
int list_ports(bool json);
