#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

// The bytes of one image, read once, with their SHA-256. What a port sends
// is exactly these bytes, however the file changes afterwards.
struct Image
{
    QString path;
    QByteArray bytes;
    QByteArray sha256; // raw digest
    QString sha256_hex() const { return QString::fromLatin1(sha256.toHex()); }
};

enum class ImageError {
    none,
    unreadable, // missing, not a regular file, or a read that failed
    too_large,  // over messages::image_limit_bytes
};

struct ImageRead
{
    std::shared_ptr<const Image> image; // null unless error is none
    ImageError error = ImageError::none;
    QString message;                    // the reason, for a human, when it failed
};

ImageRead read_image(const QString &path);
