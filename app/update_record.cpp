#include "app/update_record.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <atomic>
#include <cstdio>

namespace {

QString state_home()
{
    // Relative paths are invalid there and are ignored, as for any XDG variable.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

void warn_once(const QString &path, const QString &error)
{
    static std::atomic<bool> warned{false};
    if (warned.exchange(true))
        return;
    std::fprintf(stderr, "tessik-update-tool: cannot write the update record %s (%s); updates go on without it\n",
                 QFile::encodeName(QDir::toNativeSeparators(path)).constData(), error.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

UpdateRecord::UpdateRecord() : record_folder(state_home() + QStringLiteral("/tessik-update-tool")) {}

QString UpdateRecord::file_of(const QDate &day) const
{
    return record_folder + QLatin1Char('/') + day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
}

bool UpdateRecord::append(const QDate &day, const QString &line)
{
    const QString path = file_of(day);
    if (!QDir().mkpath(record_folder)) {
        warn_once(path, QStringLiteral("cannot create its folder"));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        warn_once(path, file.errorString());
        return false;
    }
    const QByteArray bytes = line.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        warn_once(path, file.errorString());
        return false;
    }
    return true;
}

QString run_header(const QString &version, const QString &image_path, const QStringList &ports,
                   bool parallel)
{
    QString size = QStringLiteral("size unknown");
    QString digest = QStringLiteral("unknown");
    QFile image(image_path);
    if (image.open(QIODevice::ReadOnly)) {
        // Streamed: an image is never held whole in memory.
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QByteArray chunk(64 * 1024, Qt::Uninitialized);
        qint64 total = 0;
        qint64 got = 0;
        while ((got = image.read(chunk.data(), chunk.size())) > 0) {
            hash.addData(chunk.constData(), static_cast<int>(got));
            total += got;
        }
        if (got == 0) {
            size = QStringLiteral("%1 bytes").arg(total);
            digest = QString::fromLatin1(hash.result().toHex());
        }
    }
    return QStringLiteral("update run: tessik-update-tool %1; image %2; %3; SHA-256 %4; %5 %6")
        .arg(version, QDir::toNativeSeparators(image_path), size, digest,
             parallel ? QStringLiteral("ports in parallel") : QStringLiteral("ports"),
             ports.join(QStringLiteral(", ")));
}
