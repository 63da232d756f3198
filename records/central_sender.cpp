#include "records/central_sender.h"

namespace {

constexpr int batch_rows = 200;

} // namespace

CentralSender::CentralSender(HistoryStore &local, const CentralUrl &url, CentralLimits limits)
    : local(local), central(url, limits)
{}

bool CentralSender::send_pending(const std::function<bool()> &may_go_on)
{
    HistoryFilter filter;
    filter.pending = true;
    filter.oldest_first = true;
    filter.limit = batch_rows;
    for (;;) {
        QVector<HistoryRow> rows;
        if (!local.rows(filter, rows)) {
            last_error = local.error();
            return false;
        }
        if (rows.isEmpty())
            return true;
        if (may_go_on && !may_go_on()) {
            last_error = QStringLiteral("the tool ended before the server took them");
            return false;
        }
        // A connection the server dropped (it was restarted) is made again once, at once.
        bool taken = central.insert_central(rows);
        if (!taken && central.connection_lost() && (!may_go_on || may_go_on())) {
            central.close();
            taken = central.insert_central(rows);
        }
        if (!taken) {
            last_error = central.error();
            central.close(); // a server that went away is connected again next time
            return false;
        }
        if (!local.mark_sent(rows)) {
            last_error = local.error();
            return false;
        }
        rows_sent += rows.size();
    }
}
