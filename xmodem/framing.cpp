#include "xmodem/framing.h"

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

QByteArray build_frame(const unsigned char *data, bool use_crc, quint8 block_number)
{
    QByteArray frame;
    frame.reserve(3 + xmodem::block_size + 2);
    frame.append(static_cast<char>(xmodem::soh));
    frame.append(static_cast<char>(block_number));
    frame.append(static_cast<char>(0xFF - block_number));
    frame.append(reinterpret_cast<const char *>(data), xmodem::block_size);
    if (use_crc) {
        const quint16 crc = xmodem_crc16(data, xmodem::block_size);
        frame.append(static_cast<char>(crc >> 8));
        frame.append(static_cast<char>(crc & 0xFF));
    } else {
        frame.append(static_cast<char>(xmodem_checksum(data, xmodem::block_size)));
    }
    return frame;
}

QString progress_text(qint64 bytes_sent, qint64 total_bytes)
{
    const auto percent = static_cast<qint64>(static_cast<double>(bytes_sent) / static_cast<double>(total_bytes) * 100.0);
    return QStringLiteral("完成:") + QString::number(percent) + QLatin1Char('%');
}

int row_of_port(const QMap<QString, QString> &port_table, const QString &name)
{
    int row = 0;
    for (auto it = port_table.cbegin(); it != port_table.cend(); ++it, ++row) {
        if (it.key() == name)
            return row;
    }
    return -1;
}
