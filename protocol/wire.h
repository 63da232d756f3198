#pragma once

// Everything the tool puts on the wire before the image, and the rates it
// tries, written once.

#include <QByteArray>
#include <array>

namespace wire {

inline const QByteArray escape_sequence() { return QByteArray("+++", 3); }
inline const QByteArray reboot_command() { return QByteArray("AT+Reboot\r", 10); }
// Twelve characters and two zero bytes: the boot loader reads fixed 14-byte requests.
inline const QByteArray update_request() { return QByteArray("AT#UpdateFW\r\0\0", 14); }

// The order in which the scan tries the rates; the first that answers wins.
constexpr std::array<int, 6> scan_rates = {115200, 9600, 14400, 19200, 38400, 57600};
// The boot loader always listens at this rate.
constexpr int boot_loader_rate = 115200;

constexpr int scan_settle_ms = 1000;     // after each rate change, before "+++"
constexpr int scan_reply_wait_ms = 600;  // after "+++", before reading the reply
constexpr int open_pause_ms = 1500;      // after opening the port at the found rate
constexpr int reboot_pause_ms = 1500;    // after "AT+Reboot\r", before the request
constexpr int first_ok_poll_ms = 800;
constexpr int ok_poll_ms = 100;
constexpr int ok_poll_limit = 10;
constexpr int reset_poll_ms = 100;
constexpr int reset_poll_limit = 100;
constexpr int start_poll_ms = 100;

} // namespace wire
