#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

// A release team's list of the images a station may flash, signed with
// minisign: {"product", "release", "expires" (optional), "images": [{"sha256",
// "name", "version"}]}; other fields are ignored.
struct ReleaseImage
{
    QString sha256; // lower-case hex
    QString name;
    QString version;
};

struct ReleaseManifest
{
    QString product;
    QString release;
    QDateTime expires; // invalid: never
    QVector<ReleaseImage> images;
};

struct ManifestRead
{
    ReleaseManifest manifest;
    QString error; // empty when it was read
};

ManifestRead parse_release_manifest(const QByteArray &json);

// What allowed an image to be flashed, for every history row of its run.
struct ReleaseApproval
{
    QString error; // empty: approved
    QString key_id;
    QString release;
    QString version; // the image's, as the manifest names it
    QString trusted_comment;
    bool approved() const { return error.isEmpty(); }
};

// The image is approved when the manifest's signature (signature_text, its
// .minisig) holds for the trusted key, the manifest has not expired at `now`
// and it lists the image's SHA-256.
ReleaseApproval approve_image(const QByteArray &key_text, const QByteArray &manifest_json,
                              const QByteArray &signature_text, const QString &image_sha256,
                              const QDateTime &now);

// The same from files: the key, the manifest and the manifest's FILE.minisig.
ReleaseApproval approve_image_files(const QString &key_path, const QString &manifest_path,
                                    const QString &image_sha256, const QDateTime &now);
