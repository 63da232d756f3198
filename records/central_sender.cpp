#include "records/central_sender.h"

namespace {

constexpr int batch_rows = 200;

} // namespace

CentralSender::CentralSender(HistoryStore &local, const CentralUrl &url) : local(local), central(url)
{}

bool CentralSender::send_pending()
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
        // A connection the server dropped (it was restarted) is made again once, at once.
        const bool was_open = central.is_open();
        bool taken = central.insert_central(rows);
        if (!taken && was_open) {
            central.close();
            taken = central.insert_central(rows);
        }
        if (!taken) {
            last_error = central.error();
            central.close(); // a server that went away is connected again next time
            return false;
        }
        QVector<qint64> ids;
        for (const HistoryRow &row : qAsConst(rows))
            ids << row.id;
        if (!local.mark_sent(ids)) {
            last_error = local.error();
            return false;
        }
        rows_sent += rows.size();
    }
}
