#include "records/history_writer.h"

#include "records/history_store.h"

#include <QMetaObject>

HistoryWriter::HistoryWriter(const QString &path, QObject *parent)
    : QObject(parent), db_path(path), worker(new QObject)
{
    thread.setObjectName(QStringLiteral("history"));
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, [this] {
        delete store; // on the thread that made it
        store = nullptr;
    }, Qt::DirectConnection);
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
    QMetaObject::invokeMethod(worker, [this, row] { write(row); }, Qt::QueuedConnection);
}

void HistoryWriter::finish()
{
    if (!thread.isRunning())
        return;
    // Queued after every row, so the thread ends once they are through.
    QMetaObject::invokeMethod(worker, [this] { thread.quit(); }, Qt::QueuedConnection);
    thread.wait();
}

void HistoryWriter::write(HistoryRow row)
{
    if (!store)
        store = new HistoryStore(db_path);
    if (store->append(row)) {
        QMutexLocker lock(&mutex);
        ++rows_written;
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
