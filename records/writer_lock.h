#pragma once

#include <QLockFile>
#include <QString>

// How a reader of the history knows that the process writing a row is
// still there: every writer holds a lock file of its own beside the
// database (DB.writers/ID.lock) while it lives. QLockFile records the
// process id, its name and the boot, so a lock left by a process that was
// killed, crashed or lost its power is known as stale.
class WriterLock
{
public:
    explicit WriterLock(const QString &db_path);
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;

    // Takes the lock; false when its file cannot be made (the rows are
    // still written, and read as interrupted until they are completed).
    bool hold();
    bool held() const { return file.isLocked(); }
    QString id() const { return writer_id; }

    // True while the writer of that id holds its lock.
    static bool is_alive(const QString &db_path, const QString &writer_id);
    // Removes the lock files whose writers are gone.
    static void remove_stale(const QString &db_path);

private:
    const QString writer_id;
    const QString path;
    QLockFile file;
};
