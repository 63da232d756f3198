#pragma once

#include "records/history_filter.h"
#include "records/yield_summary.h"

#include <QJsonObject>
#include <QString>

class HistoryStore;

// What the report's heading says besides its figures.
struct ReportHeading
{
    QString source;  // the database it was read from, as shown to people
    QString filters; // the filters given, as the operator wrote them
    QString made_utc;
};

// The rows a report embeds when not told otherwise: beyond this the file
// is too big for a browser to open comfortably.
constexpr int default_report_rows = 100000;

// The whole report: one HTML file with its CSS and SVG inline, that fetches
// nothing (its Content-Security-Policy allows nothing to be fetched), prints,
// and carries the rows and the totals as JSON (script elements "rows",
// "totals" and "reason-counts").
QString yield_html(const YieldData &data, const YieldSummary &summary, const ReportHeading &heading);

// units, ok, failed, first_pass_yield, final_yield and the other totals.
QJsonObject report_totals(const YieldData &data, const YieldSummary &summary);

// "since …, station …" of the filters that filter (empty for none).
QString filter_text(const HistoryFilter &filter);

// The meaning of a row's reason code, in words ("" for a code the tool does not know).
QString reason_meaning(const QString &code);

// Reads the rows of the filter from the store and writes their report to
// path (whole or not at all). false, with the error, when either fails.
bool write_yield_report(HistoryStore &store, const HistoryFilter &filter, int row_limit,
                        const ReportHeading &heading, const QString &path, YieldSummary &summary,
                        QString &error);
