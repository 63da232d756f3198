#pragma once

#include "records/history_row.h"
#include "records/history_store.h"

#include <QString>
#include <QVector>

enum class HistoryFormat { table, json, csv };

// The rows as the operator asked: an aligned table of the main columns,
// one JSON object a line, or CSV with a header row (every column).
QString format_rows(const QVector<HistoryRow> &rows, HistoryFormat format);
QString format_stats(const QVector<HistoryStats> &stats, HistoryFormat format);

// Columns padded to their widest cell, two spaces apart; the cells are shown
// printable() (log_format.h).
QString aligned_table(const QStringList &header, const QVector<QStringList> &cells);
// One CSV line: fields quoted where they hold a comma, a quote or a line
// break; a field a spreadsheet would take for a formula (it starts with
// = + - @, a tab or CR) starts with ' inside its quotes.
QString csv_line(const QStringList &fields);
