#pragma once

#include "records/history_row.h"

#include <QString>
#include <QVector>

// What a yield report is made of, counted by the database itself so that a
// report over a whole factory's rows moves only these few figures.

// The rows of one station, port and image whose attempts started in one hour.
struct YieldCell
{
    QString station;
    QString port;
    QString image_sha256;
    QString hour; // "yyyy-MM-ddTHH", UTC
    qint64 attempts = 0;      // tries that started (a skipped module is none)
    qint64 units = 0;         // modules whose first attempt is here
    qint64 first_pass_ok = 0; // ... and was ok
    qint64 units_ok = 0;      // modules whose last attempt is here and was ok
    qint64 units_failed = 0;  // ... and failed, was aborted or interrupted
    qint64 skipped = 0;       // modules left as they were (already_done)
    qint64 interrupted = 0;   // attempts whose process ended before they did
    double seconds = 0;       // the time of the attempts that ran to their end
    qint64 timed = 0;         // and how many they were
};

// Attempts that did not end ok (failed, aborted, interrupted), by reason code.
struct ReasonCount
{
    QString reason;
    qint64 attempts = 0;
};

struct ImageSent
{
    QString sha256;
    QString path;    // the latest path it was read from
    QString version; // the new application's answer to the version command, once one was asked
    QString release; // the signed release that allowed it, with a trusted key
};

struct YieldData
{
    qint64 rows_total = 0;
    QString first_started_utc;
    QString last_ended_utc;
    QVector<YieldCell> cells;
    QVector<ReasonCount> reasons; // the most frequent first
    QVector<ImageSent> images;
    QVector<HistoryRow> rows; // the newest rows, up to the report's limit
};
