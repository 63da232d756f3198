#include "engine/minisign.h"

#include <QList>
#include <sodium.h>

namespace {

constexpr int id_bytes = 8;
constexpr int key_bytes = crypto_sign_PUBLICKEYBYTES;
constexpr int signature_bytes = crypto_sign_BYTES;
const QByteArray trusted_prefix = QByteArrayLiteral("trusted comment: ");

// The lines of a minisign file: an untrusted comment, then the payload lines.
QList<QByteArray> lines_of(const QByteArray &text)
{
    QList<QByteArray> lines;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        lines << line;
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Strict base64: what does not decode to exactly `size` bytes is refused.
bool decode(const QByteArray &text, int size, QByteArray &bytes)
{
    const auto result = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != size)
        return false;
    bytes = result.decoded;
    return true;
}

bool verify(const QByteArray &signature, const QByteArray &message, const QByteArray &public_key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(public_key.constData()))
           == 0;
}

QByteArray blake2b_512(const QByteArray &message)
{
    QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), hash.size(),
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       static_cast<unsigned long long>(message.size()), nullptr, 0);
    return hash;
}

bool starts_untrusted(const QList<QByteArray> &lines)
{
    return !lines.isEmpty() && lines.first().startsWith("untrusted comment:");
}

} // namespace

QString MinisignKey::key_id_text() const
{
    quint64 number = 0; // little-endian in the files
    for (auto it = key_id.crbegin(); it != key_id.crend(); ++it)
        number = (number << 8) | quint8(*it);
    return QString::number(number, 16).toUpper();
}

MinisignKeyRead read_minisign_key(const QByteArray &file_text)
{
    const QList<QByteArray> lines = lines_of(file_text);
    QByteArray bytes;
    if (lines.size() != 2 || !starts_untrusted(lines)
        || !decode(lines.at(1), 2 + id_bytes + key_bytes, bytes))
        return {{}, QStringLiteral("not a minisign public key")};
    if (!bytes.startsWith("Ed"))
        return {{}, QStringLiteral("a minisign public key of an unknown kind")};
    return {{bytes.mid(2, id_bytes), bytes.mid(2 + id_bytes)}, QString()};
}

MinisignVerdict verify_minisign(const MinisignKey &key, const QByteArray &message,
                                const QByteArray &signature_text)
{
    if (sodium_init() < 0)
        return {QStringLiteral("the signature library cannot start"), QString()};
    const QList<QByteArray> lines = lines_of(signature_text);
    QByteArray signature;
    QByteArray global;
    if (lines.size() != 4 || !starts_untrusted(lines)
        || !decode(lines.at(1), 2 + id_bytes + signature_bytes, signature)
        || !lines.at(2).startsWith(trusted_prefix) || !decode(lines.at(3), signature_bytes, global))
        return {QStringLiteral("not a minisign signature"), QString()};
    const QByteArray algorithm = signature.left(2);
    if (algorithm != "ED" && algorithm != "Ed")
        return {QStringLiteral("a minisign signature of an unknown kind"), QString()};
    if (signature.mid(2, id_bytes) != key.key_id)
        return {QStringLiteral("signed by another key than %1").arg(key.key_id_text()), QString()};
    const QByteArray ed25519 = signature.mid(2 + id_bytes);
    if (!verify(ed25519, algorithm == "ED" ? blake2b_512(message) : message, key.public_key))
        return {QStringLiteral("the signature does not match the file"), QString()};
    const QByteArray comment = lines.at(2).mid(trusted_prefix.size());
    if (!verify(global, ed25519 + comment, key.public_key))
        return {QStringLiteral("the trusted comment is not the signed one"), QString()};
    return {QString(), QString::fromUtf8(comment)};
}
