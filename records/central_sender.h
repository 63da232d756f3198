#pragma once

#include "records/central_url.h"
#include "records/history_store.h"

#include <QString>
#include <functional>

// Store and forward: sends the local rows still pending to the central
// database, oldest first, a batch at a time. A batch is marked sent only
// after the server took it; sending a row twice adds nothing there.
class CentralSender
{
public:
    CentralSender(HistoryStore &local, const CentralUrl &url, CentralLimits limits = {});

    // False when rows stay pending; error() says why. may_go_on is asked
    // before each connection and each batch: false leaves the rest pending.
    bool send_pending(const std::function<bool()> &may_go_on = {});
    int sent() const { return rows_sent; }
    QString error() const { return last_error; }

private:
    HistoryStore &local;
    HistoryStore central;
    int rows_sent = 0;
    QString last_error;
};
