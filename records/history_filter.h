#pragma once

#include <QString>

// Which rows a query returns. Empty fields do not filter.
struct HistoryFilter
{
    QString since_utc;     // rows that ended at or after this moment (utc_text form)
    QString sha256_prefix; // lower-case hex
    QString port;
    QString result; // ok, failed, aborted, skipped, started or interrupted
    QString module_id;
    QString station;
    int limit = -1;       // negative: every row
    bool pending = false; // only rows the central database has not confirmed
    bool oldest_first = false;
};

// Each sets the field from the command line's text; false, with a message,
// when the text is not what the option takes.
bool parse_since(const QString &text, HistoryFilter &filter, QString &error);
bool parse_sha256_prefix(const QString &text, HistoryFilter &filter, QString &error);
bool parse_result(const QString &text, HistoryFilter &filter, QString &error);
bool parse_limit(const QString &text, HistoryFilter &filter, QString &error);

// True for exactly 64 hex digits (either case).
bool is_sha256(const QString &text);
