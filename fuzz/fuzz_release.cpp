// The release manifest's parsers: a public key, a signature and a manifest
// taken from the input (split at its first two NUL bytes), checked against a
// fixed image. Whatever the bytes, nothing crashes, and an approval always
// names its key and its release.

#include "engine/minisign.h"
#include "engine/release_manifest.h"

#include <QDateTime>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const QList<QByteArray> parts = input.split('\0');
    const QByteArray key = parts.value(0);
    const QByteArray manifest = parts.value(1);
    const QByteArray signature = parts.value(2);
    const QString sha256(64, QLatin1Char('a'));

    parse_release_manifest(input);
    const MinisignKeyRead read = read_minisign_key(key);
    if (read.error.isEmpty() && (read.key.key_id.size() != 8 || read.key.public_key.size() != 32))
        std::abort();
    const ReleaseApproval approval =
        approve_image(key, manifest, signature, sha256, QDateTime::fromSecsSinceEpoch(1796860800, Qt::UTC));
    if (approval.approved() && (approval.key_id.isEmpty() || approval.release.isEmpty()))
        std::abort();
    return 0;
}
