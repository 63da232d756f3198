#pragma once

// Line rate access through termios2. Kept in its own file because
// <asm/termbits.h> clashes with <termios.h>.

// The output rate currently set on the tty behind fd, 0 when unknown.
// On a pty master this reports the slave's rate, including custom (BOTHER)
// rates that tcgetattr() cannot show.
unsigned lineRate(int fd);

// Sets an arbitrary rate (e.g. 14400) on the tty behind fd via BOTHER.
bool setLineRate(int fd, unsigned baud);
