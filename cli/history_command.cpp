#include "cli/history_command.h"

#include "records/history_format.h"
#include "records/history_store.h"

#include <QFileInfo>
#include <cstdio>

int run_history_query(const CommandLine &line)
{
    const QString path = line.records.resolved_db_path();
    if (!QFileInfo::exists(path)) {
        std::fprintf(stderr, "tessik-update-tool: no history yet: %s does not exist\n", qPrintable(path));
        return exit_failed;
    }
    const HistoryFormat format = line.json ? HistoryFormat::json : line.csv ? HistoryFormat::csv : HistoryFormat::table;
    HistoryStore store(path);
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
        std::fprintf(stderr, "tessik-update-tool: cannot read the history database %s (%s)\n", qPrintable(path),
                     qPrintable(store.error()));
        return exit_failed;
    }
    std::fputs(text.toUtf8().constData(), stdout);
    return exit_ok;
}
