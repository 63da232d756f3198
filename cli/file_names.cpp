#include "cli/file_names.h"

#include <QTextCodec>

namespace {

constexpr ushort escape_base = 0xDC00;

// The length of a valid UTF-8 sequence at data[i], 0 when there is none.
int sequence_length(const unsigned char *data, int size, int i, uint *code)
{
    const unsigned char lead = data[i];
    const int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                                        : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > size)
        return 0;
    uint value = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        if ((data[i + k] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (data[i + k] & 0x3F);
    }
    static const uint smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

class ByteKeepingUtf8 : public QTextCodec
{
public:
    QByteArray name() const override { return QByteArrayLiteral("UTF-8 keeping bytes"); }
    int mibEnum() const override { return -4000; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        return decode_bytes(QByteArray::fromRawData(in, length));
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        return encode_bytes(QString::fromRawData(in, length));
    }
};

} // namespace

QString decode_bytes(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    QString text;
    text.reserve(bytes.size());
    for (int i = 0; i < bytes.size();) {
        uint code = 0;
        const int length = sequence_length(data, bytes.size(), i, &code);
        if (length == 0) {
            text += QChar(ushort(escape_base + data[i++]));
            continue;
        }
        text += QString::fromUcs4(&code, 1);
        i += length;
    }
    return text;
}

QByteArray encode_bytes(const QString &text)
{
    QByteArray bytes;
    int from = 0;
    for (int i = 0; i < text.size(); ++i) {
        const ushort unit = text.at(i).unicode();
        const bool paired = i > 0 && text.at(i - 1).isHighSurrogate();
        if (unit < escape_base + 0x80 || unit > escape_base + 0xFF || paired)
            continue;
        bytes += text.midRef(from, i - from).toUtf8();
        bytes += char(unit - escape_base);
        from = i + 1;
    }
    return bytes + text.midRef(from).toUtf8();
}

void use_byte_keeping_file_names()
{
    QTextCodec::setCodecForLocale(new ByteKeepingUtf8); // owned by Qt's codec list
}
