#include "engine/image.h"

#include "engine/messages.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <cerrno>
#include <cstring>

ImageRead read_image(const QString &path)
{
    ImageRead result;
    qint64 size = 0;
    std::FILE *file = open_measured_image(path, size);
    if (!file) {
        result.error = ImageError::unreadable;
        result.message = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }
    if (size > messages::image_limit_bytes) {
        std::fclose(file);
        result.error = ImageError::too_large;
        result.message = messages::image_too_large(path, size);
        return result;
    }
    auto image = std::make_shared<Image>();
    image->path = path;
    image->bytes.resize(static_cast<int>(size));
    const size_t got = size > 0 ? std::fread(image->bytes.data(), 1, static_cast<size_t>(size), file) : 0;
    // One byte more than measured means the file grew while it was read.
    const bool grew = std::fgetc(file) != EOF;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || got != static_cast<size_t>(size) || grew) {
        result.error = ImageError::unreadable;
        result.message = QStringLiteral("cannot read %1: it changed or failed while it was read").arg(path);
        return result;
    }
    image->sha256 = QCryptographicHash::hash(image->bytes, QCryptographicHash::Sha256);
    result.image = std::move(image);
    return result;
}
