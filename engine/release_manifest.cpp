#include "engine/release_manifest.h"

#include "engine/minisign.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

bool is_sha256(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex.match(text).hasMatch();
}

ReleaseApproval refused(const QString &why)
{
    ReleaseApproval approval;
    approval.error = why;
    return approval;
}

bool read_file(const QString &path, QByteArray &bytes, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    bytes = file.readAll();
    return true;
}

} // namespace

ManifestRead parse_release_manifest(const QByteArray &json)
{
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parse);
    if (!document.isObject())
        return {{}, QStringLiteral("the manifest is not a JSON object (%1)").arg(parse.errorString())};
    const QJsonObject object = document.object();
    ReleaseManifest manifest;
    manifest.product = object.value(QStringLiteral("product")).toString();
    manifest.release = object.value(QStringLiteral("release")).toString();
    if (manifest.release.isEmpty())
        return {{}, QStringLiteral("the manifest names no release")};
    const QJsonValue expires = object.value(QStringLiteral("expires"));
    if (!expires.isUndefined() && !expires.isNull()) {
        manifest.expires = QDateTime::fromString(expires.toString(), Qt::ISODate);
        if (!manifest.expires.isValid())
            return {{}, QStringLiteral("the manifest's expires is not an ISO 8601 date-time")};
    }
    const QJsonValue images = object.value(QStringLiteral("images"));
    if (!images.isArray())
        return {{}, QStringLiteral("the manifest lists no images")};
    for (const QJsonValue &entry : images.toArray()) {
        const QJsonObject image = entry.toObject();
        const QString sha256 = image.value(QStringLiteral("sha256")).toString().toLower();
        if (!is_sha256(sha256))
            return {{}, QStringLiteral("an image of the manifest has no SHA-256 of 64 hex digits")};
        manifest.images.append({sha256, image.value(QStringLiteral("name")).toString(),
                                image.value(QStringLiteral("version")).toString()});
    }
    return {manifest, QString()};
}

ReleaseApproval approve_image(const QByteArray &key_text, const QByteArray &manifest_json,
                              const QByteArray &signature_text, const QString &image_sha256,
                              const QDateTime &now)
{
    const MinisignKeyRead key = read_minisign_key(key_text);
    if (!key.error.isEmpty())
        return refused(QStringLiteral("the trusted key: ") + key.error);
    const MinisignVerdict verdict = verify_minisign(key.key, manifest_json, signature_text);
    if (!verdict.error.isEmpty())
        return refused(QStringLiteral("the manifest's signature: ") + verdict.error);
    const ManifestRead read = parse_release_manifest(manifest_json);
    if (!read.error.isEmpty())
        return refused(read.error);
    const ReleaseManifest &manifest = read.manifest;
    if (manifest.expires.isValid() && now >= manifest.expires)
        return refused(QStringLiteral("the manifest of release %1 expired at %2")
                           .arg(manifest.release, manifest.expires.toString(Qt::ISODate)));
    for (const ReleaseImage &image : manifest.images) {
        if (image.sha256 == image_sha256.toLower())
            return {QString(), key.key.key_id_text(), manifest.release, image.version,
                    verdict.trusted_comment};
    }
    return refused(QStringLiteral("release %1 does not list an image with SHA-256 %2")
                       .arg(manifest.release, image_sha256));
}

ReleaseApproval approve_image_files(const QString &key_path, const QString &manifest_path,
                                    const QString &image_sha256, const QDateTime &now)
{
    QByteArray key;
    QByteArray manifest;
    QByteArray signature;
    QString error;
    if (!read_file(key_path, key, error) || !read_file(manifest_path, manifest, error)
        || !read_file(manifest_path + QStringLiteral(".minisig"), signature, error))
        return refused(error);
    return approve_image(key, manifest, signature, image_sha256, now);
}
