#include "records/history_writer.h"

#include "records/central_sender.h"
#include "records/history_store.h"

#include <QMetaObject>
#include <QTimer>

namespace {

constexpr int central_retry_ms = 15000;

} // namespace

HistoryWriter::HistoryWriter(const QString &path, const QString &central_db, QObject *parent)
    : QObject(parent), db_path(path), worker(new QObject), central(parse_central_url(central_db)),
      has_central(!central_db.isEmpty())
{
    thread.setObjectName(QStringLiteral("history"));
    worker->moveToThread(&thread);
    connect(
        &thread, &QThread::finished, worker,
        [this] {
            delete retry; // on the thread that made them
            delete sender;
            delete store;
            retry = nullptr;
            sender = nullptr;
            store = nullptr;
        },
        Qt::DirectConnection);
    thread.start();
    // Rows left pending by an earlier run go out first.
    if (has_central)
        QMetaObject::invokeMethod(
            worker, [this] { send_to_central(); }, Qt::QueuedConnection);
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
    if (!thread.isRunning())
        return;
    // Queued after every row, so the thread ends once they are through.
    QMetaObject::invokeMethod(
        worker, [this] { thread.quit(); }, Qt::QueuedConnection);
    thread.wait();
}

bool HistoryWriter::open_store()
{
    if (!store)
        store = new HistoryStore(db_path);
    return store->open();
}

void HistoryWriter::write(HistoryRow row)
{
    if (open_store() && store->append(row, has_central)) {
        {
            QMutexLocker lock(&mutex);
            ++rows_written;
        }
        if (has_central && !(retry && retry->isActive()))
            send_to_central();
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

void HistoryWriter::send_to_central()
{
    if (!open_store())
        return;
    if (!sender)
        sender = new CentralSender(*store, central);
    if (sender->send_pending()) {
        if (retry)
            retry->stop();
        return;
    }
    if (!retry) {
        retry = new QTimer;
        retry->setInterval(central_retry_ms);
        connect(retry, &QTimer::timeout, worker, [this] { send_to_central(); });
    }
    retry->start();
    if (central_told)
        return;
    central_told = true;
    emit central_failed(
        QStringLiteral("cannot send the history to the central database %1 (%2); the rows stay "
                       "pending and are sent later")
            .arg(central.shown(), sender->error()));
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
