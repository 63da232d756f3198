#include "records/writer_lock.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

namespace {

QString lock_folder(const QString &db_path)
{
    return db_path + QStringLiteral(".writers");
}

QString lock_path(const QString &db_path, const QString &writer_id)
{
    return lock_folder(db_path) + QLatin1Char('/') + writer_id + QStringLiteral(".lock");
}

} // namespace

WriterLock::WriterLock(const QString &db_path)
    : writer_id(QUuid::createUuid().toString(QUuid::WithoutBraces)), path(lock_path(db_path, writer_id)),
      file(path)
{
    // Held for as long as the writer lives: only a gone process makes it stale, never its age.
    file.setStaleLockTime(0);
}

bool WriterLock::hold()
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.tryLock(0);
}

bool WriterLock::is_alive(const QString &db_path, const QString &writer_id)
{
    if (writer_id.isEmpty())
        return false;
    QLockFile probe(lock_path(db_path, writer_id));
    probe.setStaleLockTime(0);
    // Taken: nobody held it (a stale file is removed by tryLock); the probe lets it go again.
    if (probe.tryLock(0)) {
        probe.unlock();
        return false;
    }
    return probe.error() == QLockFile::LockFailedError;
}

void WriterLock::remove_stale(const QString &db_path)
{
    const QDir folder(lock_folder(db_path));
    for (const QString &name : folder.entryList({QStringLiteral("*.lock")}, QDir::Files))
        is_alive(db_path, name.chopped(5));
}
