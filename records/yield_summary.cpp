#include "records/yield_summary.h"

#include "platform/ports.h"

#include <QDateTime>
#include <QHash>
#include <algorithm>

namespace {

constexpr double slow_factor = 1.5;  // a mean time this many times the neighbours' median
constexpr double worse_margin = 0.2; // a first-pass yield this far below the neighbours' median

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

QDateTime utc_moment(const QString &text, const QString &format)
{
    QDateTime moment = QDateTime::fromString(text, format);
    moment.setTimeSpec(Qt::UTC);
    return moment;
}

void mark_outliers(QVector<PortYield> &ports)
{
    for (PortYield &port : ports) {
        if (port.count.units < units_to_judge)
            continue;
        QVector<double> means, yields;
        for (const PortYield &other : qAsConst(ports)) {
            if (&other == &port || other.station != port.station || other.count.units < units_to_judge)
                continue;
            if (other.count.timed > 0)
                means << other.count.mean_seconds();
            yields << other.count.first_pass_yield();
        }
        if (!means.isEmpty() && port.count.timed > 0)
            port.slow = port.count.mean_seconds() > slow_factor * median(means);
        if (!yields.isEmpty())
            port.worse = port.count.first_pass_yield() < median(yields) - worse_margin;
    }
}

QStringList period_buckets(const YieldData &data, bool &by_day)
{
    QString first, last;
    for (const YieldCell &cell : data.cells) {
        if (first.isEmpty() || cell.hour < first)
            first = cell.hour;
        if (cell.hour > last)
            last = cell.hour;
    }
    QStringList buckets;
    if (first.isEmpty())
        return buckets;
    const QString hour_format = QStringLiteral("yyyy-MM-ddTHH");
    const QDateTime from = utc_moment(first, hour_format), to = utc_moment(last, hour_format);
    if (!from.isValid() || !to.isValid()) {
        // A station wrote times of another form: its hours as they are.
        for (const YieldCell &cell : data.cells) {
            if (!buckets.contains(cell.hour))
                buckets << cell.hour;
        }
        buckets.sort();
        return buckets;
    }
    by_day = from.secsTo(to) / 3600 >= hours_drawn;
    if (by_day) {
        for (QDate day = from.date(); day <= to.date(); day = day.addDays(1))
            buckets << day.toString(Qt::ISODate);
    } else {
        for (QDateTime hour = from; hour <= to; hour = hour.addSecs(3600))
            buckets << hour.toString(hour_format);
    }
    return buckets;
}

} // namespace

void YieldCount::add(const YieldCell &cell)
{
    attempts += cell.attempts;
    units += cell.units;
    first_pass_ok += cell.first_pass_ok;
    units_ok += cell.units_ok;
    units_failed += cell.units_failed;
    skipped += cell.skipped;
    interrupted += cell.interrupted;
    timed += cell.timed;
    seconds += cell.seconds;
}

double YieldCount::first_pass_yield() const
{
    return units > 0 ? double(first_pass_ok) / units : 0;
}

double YieldCount::final_yield() const
{
    return units > 0 ? double(units_ok) / units : 0;
}

double YieldCount::mean_seconds() const
{
    return timed > 0 ? seconds / timed : 0;
}

YieldSummary summarize(const YieldData &data)
{
    YieldSummary summary;
    const QString utc_format = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ");
    if (!data.first_started_utc.isEmpty())
        summary.hours = utc_moment(data.first_started_utc, utc_format)
                            .msecsTo(utc_moment(data.last_ended_utc, utc_format))
                        / 3600000.0;
    summary.buckets = period_buckets(data, summary.by_day);

    QHash<QString, int> bucket_of;
    for (int i = 0; i < summary.buckets.size(); ++i)
        bucket_of.insert(summary.buckets.at(i), i);
    QMap<QPair<QString, QString>, YieldCount> ports;
    QHash<QString, YieldCount> images;
    for (const YieldCell &cell : data.cells) {
        summary.total.add(cell);
        QVector<YieldCount> &line = summary.timeline[cell.station];
        line.resize(summary.buckets.size());
        const int bucket = bucket_of.value(summary.by_day ? cell.hour.left(10) : cell.hour, -1);
        if (bucket >= 0) // else a time of another form among the others: counted, not drawn
            line[bucket].add(cell);
        ports[{cell.station, cell.port}].add(cell);
        images[cell.image_sha256].add(cell);
    }

    for (auto port = ports.cbegin(); port != ports.cend(); ++port)
        summary.ports.append({port.key().first, port.key().second, port.value()});
    std::stable_sort(summary.ports.begin(), summary.ports.end(), [](const PortYield &a, const PortYield &b) {
        return a.station != b.station ? a.station < b.station : natural_less(a.port, b.port);
    });
    mark_outliers(summary.ports);
    for (const PortYield &port : qAsConst(summary.ports)) {
        if (!summary.port_names.contains(port.port))
            summary.port_names << port.port;
    }
    std::stable_sort(summary.port_names.begin(), summary.port_names.end(),
                     natural_less);

    for (const ImageSent &image : data.images)
        summary.images.append({image, images.value(image.sha256)});
    std::stable_sort(summary.images.begin(), summary.images.end(),
                     [](const ImageYield &a, const ImageYield &b) { return a.count.units > b.count.units; });
    return summary;
}
