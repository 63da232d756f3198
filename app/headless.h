#pragma once

// Headless mode: one update run without a window, for automation.
//   tessik-update-tool --file IMAGE --port NAME [--port NAME ...]
bool wants_headless_run(int argc, char *argv[]);
int run_headless(int argc, char *argv[]);
