#include "records/history_writer.h"

#include "records/central_forwarder.h"
#include "records/history_store.h"
#include "records/writer_lock.h"

#include <QMetaObject>

HistoryWriter::HistoryWriter(const QString &path, const QString &central_db, QObject *parent)
    : QObject(parent), db_path(path), worker(new QObject)
{
    thread.setObjectName(QStringLiteral("history"));
    worker->moveToThread(&thread);
    connect(
        &thread, &QThread::finished, worker,
        [this] {
            delete store; // on the thread that made them
            delete writer_lock;
            store = nullptr;
            writer_lock = nullptr;
        },
        Qt::DirectConnection);
    if (!central_db.isEmpty()) {
        forwarder = std::make_unique<CentralForwarder>(path, central_db);
        connect(forwarder.get(), &CentralForwarder::failed, this, &HistoryWriter::central_failed,
                Qt::DirectConnection);
        forwarder->rows_waiting(); // rows left pending earlier go out first
    }
    thread.start();
}

HistoryWriter::~HistoryWriter()
{
    finish();
    delete worker;
}

void HistoryWriter::record(const HistoryRow &row)
{
    if (!thread.isRunning())
        return;
    QMetaObject::invokeMethod(
        worker, [this, row] { write(row); }, Qt::QueuedConnection);
}

void HistoryWriter::finish()
{
    if (thread.isRunning()) {
        // Queued after every row, so the thread ends once they are through.
        QMetaObject::invokeMethod(
            worker,
            [this] {
                end_rows();
                thread.quit();
            },
            Qt::QueuedConnection);
        thread.wait();
    }
    if (forwarder)
        forwarder->stop();
}

bool HistoryWriter::open_store()
{
    if (!store) {
        store = new HistoryStore(db_path);
        writer_lock = new WriterLock(db_path);
    }
    if (!store->open())
        return false;
    // Held from before this writer's first row; a lock that cannot be made
    // leaves its started rows to be read as interrupted until they end.
    if (!writer_lock->held() && writer_lock->hold())
        WriterLock::remove_stale(db_path);
    return true;
}

// An attempt the process ends with (the window closed during it) did not end either.
void HistoryWriter::end_rows()
{
    if (store && store->is_open() && store->interrupt_rows_of(writer_lock->id()) && forwarder)
        forwarder->rows_waiting();
}

void HistoryWriter::write(HistoryRow row)
{
    if (open_store() && store->append(row, writer_lock->id())) {
        {
            QMutexLocker lock(&mutex);
            ++rows_written;
        }
        if (forwarder)
            forwarder->rows_waiting();
        return;
    }
    QString message;
    {
        QMutexLocker lock(&mutex);
        if (!first_failure.isEmpty())
            return;
        first_failure = QStringLiteral("cannot write the history database %1 (%2); updates go on without it")
                            .arg(db_path, store->error());
        message = first_failure;
    }
    emit failed(message);
}

bool HistoryWriter::has_failed() const
{
    QMutexLocker lock(&mutex);
    return !first_failure.isEmpty();
}

QString HistoryWriter::failure() const
{
    QMutexLocker lock(&mutex);
    return first_failure;
}

int HistoryWriter::written() const
{
    QMutexLocker lock(&mutex);
    return rows_written;
}
