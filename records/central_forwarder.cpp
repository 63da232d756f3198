#include "records/central_forwarder.h"

#include "records/central_sender.h"
#include "records/history_store.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QTimer>
#include <limits>

namespace {

constexpr int central_retry_ms = 15000;
// How long the end of a run lets the last rows go out; a statement under
// way then still runs to its own bound.
constexpr int end_wait_ms = 3000;

} // namespace

CentralForwarder::CentralForwarder(const QString &db_path, const QString &central_db, QObject *parent)
    : QObject(parent), db_path(db_path), central(parse_central_url(central_db)), worker(new QObject),
      stop_at_ms(std::numeric_limits<qint64>::max())
{
    thread.setObjectName(QStringLiteral("central"));
    worker->moveToThread(&thread);
    connect(
        &thread, &QThread::finished, worker,
        [this] {
            delete retry; // on the thread that made them
            delete sender;
            delete local;
            retry = nullptr;
            sender = nullptr;
            local = nullptr;
        },
        Qt::DirectConnection);
    thread.start();
}

CentralForwarder::~CentralForwarder()
{
    stop();
    delete worker;
}

void CentralForwarder::rows_waiting()
{
    if (send_queued.exchange(true))
        return;
    // While the server fails, the retry sends: a stalled server is not asked once a row.
    QMetaObject::invokeMethod(
        worker,
        [this] {
            send_queued = false;
            if (!failing)
                send();
        },
        Qt::QueuedConnection);
}

void CentralForwarder::stop()
{
    if (!thread.isRunning())
        return;
    stop_at_ms = QDeadlineTimer::current().deadline() + end_wait_ms;
    QMetaObject::invokeMethod(
        worker,
        [this] {
            if (!failing)
                send();
            thread.quit();
        },
        Qt::QueuedConnection);
    thread.wait();
}

bool CentralForwarder::may_go_on() const
{
    return QDeadlineTimer::current().deadline() < stop_at_ms;
}

void CentralForwarder::send()
{
    if (!local) {
        local = new HistoryStore(db_path);
        sender = new CentralSender(*local, central);
    }
    if (sender->send_pending([this] { return may_go_on(); })) {
        failing = false;
        if (retry)
            retry->stop();
        return;
    }
    failing = true;
    if (!retry) {
        retry = new QTimer;
        retry->setInterval(central_retry_ms);
        connect(retry, &QTimer::timeout, worker, [this] { send(); });
    }
    retry->start();
    if (told)
        return;
    told = true;
    emit failed(QStringLiteral("cannot send the history to the central database %1 (%2); the rows stay "
                               "pending and are sent later")
                    .arg(central.shown(), sender->error()));
}
