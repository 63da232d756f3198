#pragma once

#include "records/yield_query.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// The counts of a yield report's cells, added up the ways the report shows them.
struct YieldCount
{
    qint64 attempts = 0;
    qint64 units = 0;
    qint64 first_pass_ok = 0;
    qint64 units_ok = 0;
    qint64 units_failed = 0;
    qint64 skipped = 0;
    qint64 interrupted = 0;
    qint64 timed = 0;
    double seconds = 0;

    void add(const YieldCell &cell);
    // Units whose last attempt is still running: neither ok nor failed yet.
    qint64 in_progress() const { return units - units_ok - units_failed; }
    // Fractions of the units (0 without units).
    double first_pass_yield() const;
    double final_yield() const;
    double mean_seconds() const; // over the attempts that ran to their end
};

struct PortYield
{
    QString station;
    QString port;
    YieldCount count;
    // Beside the station's other ports (each with enough units to judge):
    bool slow = false;  // its mean time is well above theirs
    bool worse = false; // its first-pass yield is well below theirs
};

struct ImageYield
{
    ImageSent image;
    YieldCount count;
};

struct YieldSummary
{
    YieldCount total;
    double hours = 0; // from the first start to the last end
    double units_per_hour() const { return hours > 0 ? total.units / hours : 0; }
    bool by_day = false;   // a long period is drawn day by day
    QStringList buckets;   // every hour ("yyyy-MM-ddTHH") or day of the period, oldest first
    QMap<QString, QVector<YieldCount>> timeline; // per station, a count per bucket
    QVector<PortYield> ports;   // by station, ports in natural order (ttyUSB2 before ttyUSB10)
    QStringList port_names;     // of every station, in natural order
    QVector<ImageYield> images; // the most units first
};

// A port is judged beside its neighbours once it and they have this many units.
constexpr int units_to_judge = 3;
// Hours drawn one by one up to this many; a longer period by days.
constexpr int hours_drawn = 72;

YieldSummary summarize(const YieldData &data);
