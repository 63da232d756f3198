#include "cli/history_command.h"

#include "records/central_sender.h"
#include "records/history_format.h"
#include "records/history_store.h"
#include "records/yield_report.h"

#include <QDateTime>
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

// The store a query reads: the central database with --central, else the
// local history. Null, with a message and exit_code, when there is none.
std::unique_ptr<HistoryStore> query_store(const CommandLine &line, QString &shown, int &exit_code)
{
    const CentralUrl url = parse_central_url(line.records.central_db);
    if (line.central && line.records.central_db.isEmpty()) {
        std::fprintf(stderr, "tessik-update-tool: --central needs --central-db URL or central_db in %s\n",
                     qPrintable(settings_file_path()));
        exit_code = exit_usage;
        return nullptr;
    }
    shown = line.central ? url.shown() : line.records.resolved_db_path();
    exit_code = exit_failed;
    return line.central ? std::make_unique<HistoryStore>(url, CentralLimits{by_hand_limit_ms, by_hand_limit_ms})
                        : local_store(line);
}

} // namespace

int run_history_query(const CommandLine &line)
{
    QString path;
    int exit_code = exit_ok;
    std::unique_ptr<HistoryStore> owned = query_store(line, path, exit_code);
    if (!owned)
        return exit_code;
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

int run_report(const CommandLine &line)
{
    QString source;
    int exit_code = exit_ok;
    std::unique_ptr<HistoryStore> store = query_store(line, source, exit_code);
    if (!store)
        return exit_code;
    const ReportHeading heading{source, filter_text(line.filter), utc_text(QDateTime::currentDateTimeUtc())};
    const int rows = line.filter.limit >= 0 ? line.filter.limit : default_report_rows;
    YieldSummary summary;
    QString error;
    if (!write_yield_report(*store, line.filter, rows, heading, line.report_file, summary, error)) {
        std::fprintf(stderr, "tessik-update-tool: %s\n", qPrintable(error));
        return exit_failed;
    }
    std::printf("%s: %lld units, %lld ok, %lld failed, first-pass yield %.1f%%\n", qPrintable(line.report_file),
                summary.total.units, summary.total.units_ok, summary.total.units_failed,
                100 * summary.total.first_pass_yield());
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
