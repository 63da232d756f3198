#include "cli/history_command.h"

#include "records/central_sender.h"
#include "records/history_format.h"
#include "records/history_store.h"

#include <QFileInfo>
#include <cstdio>
#include <memory>

namespace {

// Asked for by hand: a query over every station's rows, or bringing an older
// central table up to date with --sync, may take its time, within bounds.
constexpr int by_hand_limit_ms = 600000;

// The local history, when there is one; else a message and null.
std::unique_ptr<HistoryStore> local_store(const CommandLine &line)
{
    const QString path = line.records.resolved_db_path();
    if (!QFileInfo::exists(path)) {
        std::fprintf(stderr, "tessik-update-tool: no history yet: %s does not exist\n", qPrintable(path));
        return nullptr;
    }
    return std::make_unique<HistoryStore>(path);
}

} // namespace

int run_history_query(const CommandLine &line)
{
    const CentralUrl url = parse_central_url(line.records.central_db);
    if (line.central && line.records.central_db.isEmpty()) {
        std::fprintf(stderr, "tessik-update-tool: --central needs --central-db URL or central_db in %s\n",
                     qPrintable(settings_file_path()));
        return exit_usage;
    }
    const QString path = line.central ? url.shown() : line.records.resolved_db_path();
    std::unique_ptr<HistoryStore> owned =
        line.central ? std::make_unique<HistoryStore>(url, CentralLimits{by_hand_limit_ms, by_hand_limit_ms})
                     : local_store(line);
    if (!owned)
        return exit_failed;
    HistoryStore &store = *owned;
    const HistoryFormat format = line.json  ? HistoryFormat::json
                                 : line.csv ? HistoryFormat::csv
                                            : HistoryFormat::table;
    QString text;
    bool read = false;
    if (line.stats) {
        QVector<HistoryStats> stats;
        read = store.stats(line.filter, stats);
        text = format_stats(stats, format);
    } else {
        QVector<HistoryRow> rows;
        read = store.rows(line.filter, rows);
        text = format_rows(rows, format);
    }
    if (!read) {
        std::fprintf(stderr, "tessik-update-tool: cannot read the history database %s (%s)\n",
                     qPrintable(path), qPrintable(store.error()));
        return exit_failed;
    }
    std::fputs(text.toUtf8().constData(), stdout);
    return exit_ok;
}

int run_sync(const CommandLine &line)
{
    if (line.records.central_db.isEmpty()) {
        std::fprintf(stderr, "tessik-update-tool: --sync needs --central-db URL or central_db in %s\n",
                     qPrintable(settings_file_path()));
        return exit_usage;
    }
    std::unique_ptr<HistoryStore> local = local_store(line);
    if (!local)
        return exit_failed;
    CentralLimits limits;
    limits.migration_ms = by_hand_limit_ms;
    CentralSender sender(*local, parse_central_url(line.records.central_db), limits);
    const bool all_sent = sender.send_pending();
    HistoryFilter pending;
    pending.pending = true;
    QVector<HistoryRow> left;
    local->rows(pending, left);
    std::printf("sent %d rows; %d pending\n", sender.sent(), left.size());
    if (all_sent)
        return exit_ok;
    std::fprintf(stderr, "tessik-update-tool: cannot send the history to the central database %s (%s)\n",
                 qPrintable(parse_central_url(line.records.central_db).shown()), qPrintable(sender.error()));
    return exit_failed;
}
