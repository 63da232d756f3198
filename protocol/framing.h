#pragma once

#include <QByteArray>
#include <QString>

namespace xmodem {
constexpr unsigned char soh = 0x01;
constexpr unsigned char eot = 0x04;
constexpr unsigned char ack = 0x06;
constexpr unsigned char nak = 0x15;
constexpr unsigned char can = 0x18;
constexpr unsigned char crc_request = 'C';
constexpr unsigned char padding = 0x1A;
constexpr int block_size = 128;
} // namespace xmodem

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
quint16 xmodem_crc16(const unsigned char *data, int length);

// 8-bit sum of the bytes, carries discarded.
quint8 xmodem_checksum(const unsigned char *data, int length);

// SOH, number, its complement, the 128 data bytes, then the CRC (high byte
// first) or the checksum: 133 or 132 bytes.
QByteArray build_frame(const unsigned char *data, bool use_crc, quint8 block_number);
// The same, written over frame, whose storage is reused from block to block.
void build_frame_into(QByteArray &frame, const unsigned char *data, bool use_crc, quint8 block_number);

// "完成:NN%" (in the language in use) with the percentage truncated toward zero.
qint64 progress_percent(qint64 bytes_sent, qint64 total_bytes); // whole per cents, rounded down
QString progress_text(qint64 bytes_sent, qint64 total_bytes);
