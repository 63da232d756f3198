#include "protocol/framing.h"

#include <QCoreApplication>
#include <cstring>

quint16 xmodem_crc16(const unsigned char *data, int length)
{
    quint16 crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= static_cast<quint16>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x1021) : static_cast<quint16>(crc << 1);
    }
    return crc;
}

quint8 xmodem_checksum(const unsigned char *data, int length)
{
    quint8 sum = 0;
    for (int i = 0; i < length; ++i)
        sum = static_cast<quint8>(sum + data[i]);
    return sum;
}

namespace {

// CRC-16/XMODEM one byte at a time: the table holds the bit loop's result
// for every byte value.
struct CrcTable
{
    quint16 entries[256];
    constexpr CrcTable() : entries()
    {
        for (int byte = 0; byte < 256; ++byte) {
            quint16 crc = static_cast<quint16>(byte << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x1021) : static_cast<quint16>(crc << 1);
            entries[byte] = crc;
        }
    }
};
constexpr CrcTable crc_table;

quint16 table_crc16(const unsigned char *data, int length)
{
    quint16 crc = 0;
    for (int i = 0; i < length; ++i)
        crc = static_cast<quint16>((crc << 8) ^ crc_table.entries[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

} // namespace

void build_frame_into(QByteArray &frame, const unsigned char *data, bool use_crc, quint8 block_number)
{
    unsigned char out[3 + xmodem::block_size + 2];
    const int length = 3 + xmodem::block_size + (use_crc ? 2 : 1);
    out[0] = xmodem::soh;
    out[1] = block_number;
    out[2] = static_cast<unsigned char>(0xFF - block_number);
    std::memcpy(out + 3, data, xmodem::block_size);
    if (use_crc) {
        const quint16 crc = table_crc16(data, xmodem::block_size);
        out[131] = static_cast<unsigned char>(crc >> 8);
        out[132] = static_cast<unsigned char>(crc & 0xFF);
    } else {
        out[131] = xmodem_checksum(data, xmodem::block_size);
    }
    // assign() reuses the array's storage when it is large enough.
    frame.resize(length);
    frame.replace(0, length, reinterpret_cast<const char *>(out), length);
}

QByteArray build_frame(const unsigned char *data, bool use_crc, quint8 block_number)
{
    QByteArray frame;
    build_frame_into(frame, data, use_crc, block_number);
    return frame;
}

qint64 progress_percent(qint64 bytes_sent, qint64 total_bytes)
{
    return static_cast<qint64>(static_cast<double>(bytes_sent) / static_cast<double>(total_bytes) * 100.0);
}

QString progress_text(qint64 bytes_sent, qint64 total_bytes)
{
    return QCoreApplication::translate("messages", "完成:%1%").arg(progress_percent(bytes_sent, total_bytes));
}
