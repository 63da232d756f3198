#include "records/yield_report.h"

#include "engine/outcome.h"
#include "records/history_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>
#include <cmath>

namespace {

// The interrupted rows' reason: their process ended during the attempt.
const QString process_gone = QStringLiteral("process_gone");

QString escaped(const QString &text)
{
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

QString percent(double fraction)
{
    return QString::number(100 * fraction, 'f', 1) + QLatin1Char('%');
}

QString number(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

// A fraction rounded for the JSON; null without units to divide by.
QJsonValue fraction_value(double fraction, qint64 units)
{
    return units > 0 ? QJsonValue(std::round(fraction * 10000) / 10000) : QJsonValue();
}

// A JSON text inside a script element: no "</script>" can end it early.
QString json_block(const QString &id, const QJsonDocument &document)
{
    const QString json = QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    return QStringLiteral("<script type=\"application/json\" id=\"%1\">").arg(id)
           + QString(json).replace(QLatin1Char('<'), QStringLiteral("\\u003c")) + QStringLiteral("</script>\n");
}

// Red at 0, green at 1.
QString yield_colour(double fraction)
{
    return QStringLiteral("hsl(%1, 65%, 82%)").arg(int(120 * fraction));
}

const char style[] = R"(
body { font: 14px/1.4 sans-serif; color: #222; margin: 24px; max-width: 1100px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 28px 0 8px; border-bottom: 1px solid #ccc; }
p.period { color: #555; margin: 0; }
table { border-collapse: collapse; margin: 4px 0; }
th, td { padding: 3px 8px; border: 1px solid #ddd; text-align: left; vertical-align: top; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
table.totals td { font-size: 18px; font-weight: bold; text-align: right; }
td.port { font-size: 12px; white-space: nowrap; }
td.port.marked { outline: 2px solid #c00; outline-offset: -2px; }
.mark { color: #c00; font-weight: bold; }
.small { color: #555; font-size: 12px; }
svg { display: block; margin: 4px 0 12px; }
svg text { font: 11px sans-serif; fill: #333; }
figure { margin: 0 0 8px; }
figcaption { font-weight: bold; }
code { font-size: 13px; }
@media print { body { margin: 0; } section, figure { break-inside: avoid; } }
)";

QString totals_section(const YieldSummary &summary)
{
    const YieldCount &total = summary.total;
    const std::pair<const char *, QString> cells[] = {
        {"units", QString::number(total.units)},
        {"ok", QString::number(total.units_ok)},
        {"failed", QString::number(total.units_failed)},
        {"first-pass-yield", total.units ? percent(total.first_pass_yield()) : QStringLiteral("–")},
        {"final-yield", total.units ? percent(total.final_yield()) : QStringLiteral("–")},
        {"units-per-hour", number(summary.units_per_hour())},
    };
    const char *const names[] = {"Units", "OK", "Failed", "First-pass yield", "Final yield", "Units per hour"};
    QString head, body;
    for (int i = 0; i < 6; ++i) {
        head += QStringLiteral("<th>%1</th>").arg(QLatin1String(names[i]));
        body += QStringLiteral("<td id=\"total-%1\">%2</td>").arg(QLatin1String(cells[i].first), cells[i].second);
    }
    return QStringLiteral("<section id=\"summary\"><h2>Totals</h2><table class=\"totals\"><tr>%1</tr><tr>%2</tr>"
                          "</table><p class=\"small\">A unit is a module, known by its identity where the "
                          "stations asked for one, else one port's run of attempts. %3 attempts; %4 modules "
                          "left as they were (skipped, not counted as units); %5 attempts interrupted (the "
                          "tool's process ended first); %6 units still in progress. Mean time of an attempt: "
                          "%7 s.</p></section>\n")
        .arg(head, body)
        .arg(total.attempts)
        .arg(total.skipped)
        .arg(total.interrupted)
        .arg(total.in_progress())
        .arg(number(total.mean_seconds()));
}

// A chart's place: its plot inside margins for the scales.
struct ChartBox
{
    int height;
    int bottom; // room for the labels below the plot
    int width = 900;
    int left = 40;
    int right = 40;
    int top = 10;
    double plot_width() const { return width - left - right; }
    double plot_height() const { return height - top - bottom; }
};

// The chart's frame around what it draws: the axis, the count scale on the
// left (most at the top), the share scale on the right.
QString chart_frame(const ChartBox &box, qint64 most, const QString &drawn)
{
    const int axis = box.top + int(box.plot_height()), right = box.width - box.right, scale_top = box.top + 10;
    return QStringLiteral("<svg width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" role=\"img\">"
                          "<line x1=\"%3\" y1=\"%4\" x2=\"%5\" y2=\"%4\" stroke=\"#888\"/>"
                          "<text x=\"4\" y=\"%6\">%7</text><text x=\"4\" y=\"%4\">0</text>"
                          "<text x=\"%5\" y=\"%6\" dx=\"4\">100%</text><text x=\"%5\" y=\"%4\" dx=\"4\">0%</text>")
               .arg(box.width)
               .arg(box.height)
               .arg(box.left)
               .arg(axis)
               .arg(right)
               .arg(scale_top)
               .arg(most)
           + drawn + QStringLiteral("</svg>");
}

// Bars of units per bucket, and a line of their first-pass yield.
QString timeline_chart(const QStringList &buckets, const QVector<YieldCount> &line)
{
    const ChartBox box{200, 40};
    const int height = box.height, left = box.left, bottom = box.bottom, top = box.top;
    const double plot_width = box.plot_width(), plot_height = box.plot_height();
    qint64 most = 1;
    for (const YieldCount &count : line)
        most = std::max(most, count.units);
    const double step = plot_width / std::max(1, int(buckets.size()));
    QString bars, points, dots, labels;
    const int label_every = std::max(1, int(buckets.size() / 12));
    for (int i = 0; i < buckets.size(); ++i) {
        const YieldCount count = line.value(i);
        const double x = left + i * step;
        const double bar = plot_height * count.units / most;
        bars += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#7aa6d8\"><title>%5: %6 "
                               "units</title></rect>")
                    .arg(number(x + step * 0.1), number(top + plot_height - bar), number(step * 0.8), number(bar),
                         escaped(buckets.at(i)))
                    .arg(count.units);
        if (count.units > 0) {
            const QString point = QStringLiteral("%1,%2").arg(number(x + step / 2),
                                                              number(top + plot_height * (1 - count.first_pass_yield())));
            points += point + QLatin1Char(' ');
            dots += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"3\" fill=\"#2a8c3c\"><title>%3: first pass %4"
                                   "</title></circle>")
                        .arg(point.section(QLatin1Char(','), 0, 0), point.section(QLatin1Char(','), 1, 1),
                             escaped(buckets.at(i)), percent(count.first_pass_yield()));
        }
        if (i % label_every == 0)
            labels += QStringLiteral("<text x=\"%1\" y=\"%2\">%3</text>")
                          .arg(number(x), QString::number(height - bottom + 16), escaped(buckets.at(i).mid(5)));
    }
    return chart_frame(box, most,
                       bars
                           + QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"#2a8c3c\" "
                                            "stroke-width=\"2\"/>")
                                 .arg(points.trimmed())
                           + dots + labels);
}

QString timeline_section(const YieldSummary &summary)
{
    QString figures;
    for (auto station = summary.timeline.cbegin(); station != summary.timeline.cend(); ++station) {
        figures += QStringLiteral("<figure><figcaption>%1</figcaption>%2</figure>\n")
                       .arg(escaped(station.key()), timeline_chart(summary.buckets, station.value()));
    }
    return QStringLiteral("<section id=\"timeline\"><h2>Units per %1 and first-pass yield</h2><p class=\"small\">"
                          "Bars: units that started in the %1 (left scale). Line: the first-pass yield of those "
                          "units (right scale). Times are UTC.</p>%2</section>\n")
        .arg(summary.by_day ? QStringLiteral("day") : QStringLiteral("hour"), figures);
}

QString pareto_chart(const QVector<ReasonCount> &reasons, qint64 all)
{
    const ChartBox box{240, 70};
    const int height = box.height, left = box.left, bottom = box.bottom, top = box.top;
    const double plot_width = box.plot_width(), plot_height = box.plot_height();
    const double most = reasons.isEmpty() ? 1 : reasons.first().attempts;
    const double step = plot_width / std::max(1, int(reasons.size()));
    QString bars, points;
    qint64 so_far = 0;
    for (int i = 0; i < reasons.size(); ++i) {
        const double x = left + i * step, bar = plot_height * reasons.at(i).attempts / most;
        so_far += reasons.at(i).attempts;
        bars += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#d88a7a\"/>"
                               "<text x=\"%5\" y=\"%6\" transform=\"rotate(30 %5 %6)\">%7 (%8)</text>")
                    .arg(number(x + step * 0.1), number(top + plot_height - bar), number(step * 0.8), number(bar),
                         number(x + step * 0.3), QString::number(height - bottom + 14),
                         escaped(reasons.at(i).reason))
                    .arg(reasons.at(i).attempts);
        points += QStringLiteral("%1,%2 ").arg(number(x + step / 2),
                                              number(top + plot_height * (1 - double(so_far) / all)));
    }
    return chart_frame(box, qint64(most),
                       bars
                           + QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"#333\" "
                                            "stroke-width=\"2\"/>")
                                 .arg(points.trimmed()));
}

QString reasons_section(const YieldData &data)
{
    qint64 all = 0;
    for (const ReasonCount &reason : data.reasons)
        all += reason.attempts;
    if (all == 0)
        return QStringLiteral("<section id=\"failures\"><h2>Failures by reason</h2><p>No attempt failed.</p>"
                              "</section>\n");
    QString rows;
    qint64 so_far = 0;
    for (const ReasonCount &reason : data.reasons) {
        so_far += reason.attempts;
        rows += QStringLiteral("<tr class=\"reason\"><td><code>%1</code></td><td>%2</td><td class=\"n\">%3</td>"
                               "<td class=\"n\">%4</td><td class=\"n\">%5</td></tr>")
                    .arg(escaped(reason.reason), escaped(reason_meaning(reason.reason)))
                    .arg(reason.attempts)
                    .arg(percent(double(reason.attempts) / all), percent(double(so_far) / all));
    }
    return QStringLiteral("<section id=\"failures\"><h2>Failures by reason</h2><p class=\"small\">Attempts that "
                          "failed, were aborted or interrupted (%1), the most frequent reason first; the line "
                          "is their running share.</p>%2<table><tr><th>Reason</th><th>Meaning</th>"
                          "<th>Attempts</th><th>Share</th><th>Cumulative</th></tr>%3</table></section>\n")
        .arg(all)
        .arg(pareto_chart(data.reasons, all), rows);
}

QString port_cell(const PortYield &port)
{
    const YieldCount &count = port.count;
    QStringList marks;
    if (port.slow)
        marks << QStringLiteral("slow");
    if (port.worse)
        marks << QStringLiteral("low yield");
    return QStringLiteral("<td class=\"port%1\" style=\"background: %2\" title=\"%3 %4\">%5 units<br>%6 / %7<br>"
                          "%8 s%9</td>")
        .arg(marks.isEmpty() ? QString() : QStringLiteral(" marked"),
             count.units ? yield_colour(count.final_yield()) : QStringLiteral("#eee"), escaped(port.station),
             escaped(port.port))
        .arg(count.units)
        .arg(count.units ? percent(count.first_pass_yield()) : QStringLiteral("–"),
             count.units ? percent(count.final_yield()) : QStringLiteral("–"), number(count.mean_seconds()),
             marks.isEmpty() ? QString()
                             : QStringLiteral("<br><span class=\"mark\">%1</span>").arg(marks.join(QStringLiteral(", "))));
}

QString ports_section(const YieldSummary &summary)
{
    QString head = QStringLiteral("<tr><th>Station</th>");
    for (const QString &port : summary.port_names)
        head += QStringLiteral("<th>%1</th>").arg(escaped(port));
    QString rows;
    for (int i = 0; i < summary.ports.size();) {
        const QString station = summary.ports.at(i).station;
        rows += QStringLiteral("<tr><th>%1</th>").arg(escaped(station));
        for (const QString &port : summary.port_names) {
            const bool here = i < summary.ports.size() && summary.ports.at(i).station == station
                              && summary.ports.at(i).port == port;
            rows += here ? port_cell(summary.ports.at(i++)) : QStringLiteral("<td></td>");
        }
        rows += QStringLiteral("</tr>");
    }
    return QStringLiteral("<section id=\"ports\"><h2>Ports</h2><p class=\"small\">Per station and port: units, "
                          "first-pass / final yield, mean seconds per attempt; coloured by final yield (red 0%, "
                          "green 100%). A port is marked <span class=\"mark\">slow</span> when its mean time is "
                          "over 1.5 times the median of its station's other ports, and <span class=\"mark\">low "
                          "yield</span> when its first-pass yield is 20 points below theirs (each with %1 units or "
                          "more).</p><table>%2</tr>%3</table></section>\n")
        .arg(units_to_judge)
        .arg(head, rows);
}

QString images_section(const YieldSummary &summary)
{
    QString rows;
    for (const ImageYield &image : summary.images) {
        rows += QStringLiteral("<tr class=\"image\"><td><code title=\"%1\">%2</code></td><td>%3</td><td>%4</td>"
                               "<td>%5</td><td class=\"n\">%6</td><td class=\"n\">%7</td><td class=\"n\">%8</td>"
                               "</tr>")
                    .arg(escaped(image.image.sha256), escaped(image.image.sha256.left(12)),
                         escaped(image.image.version.isEmpty() ? QStringLiteral("–") : image.image.version),
                         escaped(image.image.release), escaped(image.image.path))
                    .arg(image.count.units)
                    .arg(image.count.units_ok)
                    .arg(image.count.units ? percent(image.count.first_pass_yield()) : QStringLiteral("–"));
    }
    return QStringLiteral("<section id=\"images\"><h2>Images</h2><table><tr><th>SHA-256</th><th>Version</th>"
                          "<th>Release</th><th>Read from</th><th>Units</th><th>OK</th><th>First-pass yield</th>"
                          "</tr>%1</table></section>\n")
        .arg(rows);
}

QString period_text(const YieldData &data, const YieldSummary &summary)
{
    if (data.rows_total == 0)
        return QStringLiteral("No rows match.");
    return QStringLiteral("From %1 to %2 (UTC), %3 hours")
        .arg(escaped(data.first_started_utc.left(19).replace(QLatin1Char('T'), QLatin1Char(' '))),
             escaped(data.last_ended_utc.left(19).replace(QLatin1Char('T'), QLatin1Char(' '))),
             number(summary.hours));
}

} // namespace

QString filter_text(const HistoryFilter &filter)
{
    const std::pair<const char *, QString> given[] = {
        {"ended since", filter.since_utc}, {"station", filter.station}, {"port", filter.port},
        {"image", filter.sha256_prefix},   {"result", filter.result},   {"module", filter.module_id},
    };
    QStringList parts;
    for (const auto &part : given) {
        if (!part.second.isEmpty())
            parts << QLatin1String(part.first) + QLatin1Char(' ') + part.second;
    }
    return parts.join(QStringLiteral(", "));
}

QString reason_meaning(const QString &code)
{
    if (code == process_gone)
        return QStringLiteral("the tool's process ended during the attempt");
    for (int value = 0; QLatin1String(reason_code(FailReason(value))) != QLatin1String("unknown"); ++value) {
        if (code == QLatin1String(reason_code(FailReason(value))))
            return QString::fromUtf8(reason_meaning(FailReason(value)));
    }
    return QString();
}

QJsonObject report_totals(const YieldData &data, const YieldSummary &summary)
{
    const YieldCount &total = summary.total;
    return QJsonObject{
        {"units", total.units},
        {"ok", total.units_ok},
        {"failed", total.units_failed},
        {"first_pass_yield", fraction_value(total.first_pass_yield(), total.units)},
        {"final_yield", fraction_value(total.final_yield(), total.units)},
        {"first_pass_ok", total.first_pass_ok},
        {"in_progress", total.in_progress()},
        {"attempts", total.attempts},
        {"skipped", total.skipped},
        {"interrupted", total.interrupted},
        {"units_per_hour", std::round(summary.units_per_hour() * 100) / 100},
        {"period_start", data.first_started_utc},
        {"period_end", data.last_ended_utc},
        {"rows_total", data.rows_total},
        {"rows_embedded", data.rows.size()},
    };
}

QString yield_html(const YieldData &data, const YieldSummary &summary, const ReportHeading &heading)
{
    QJsonArray rows, reasons;
    for (const HistoryRow &row : data.rows)
        rows.append(history_json(row));
    for (const ReasonCount &reason : data.reasons)
        reasons.append(QJsonObject{{"reason", reason.reason}, {"attempts", reason.attempts},
                                   {"meaning", reason_meaning(reason.reason)}});
    const QString embedded =
        data.rows.size() < data.rows_total
            ? QStringLiteral("The newest %1 of the %2 rows are embedded in this file as JSON").arg(data.rows.size()).arg(data.rows_total)
            : QStringLiteral("All %1 rows are embedded in this file as JSON").arg(data.rows_total);
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                          "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                          "style-src 'unsafe-inline'\">\n"
                          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                          "<title>Yield report %1</title><style>%2</style></head><body>\n"
                          "<header><h1>Yield report</h1><p class=\"period\" id=\"period\">%3</p>"
                          "<p class=\"small\">Read from %4%5; made %6 (UTC) by tessik-update-tool.</p></header>\n")
               .arg(escaped(data.first_started_utc.left(10)), QLatin1String(style),
                    period_text(data, summary),
                    escaped(heading.source),
                    heading.filters.isEmpty() ? QString() : QStringLiteral(", the rows ") + escaped(heading.filters),
                    escaped(heading.made_utc.left(19).replace(QLatin1Char('T'), QLatin1Char(' '))))
           + totals_section(summary) + timeline_section(summary) + reasons_section(data)
           + ports_section(summary) + images_section(summary)
           + QStringLiteral("<section id=\"data\"><h2>Data</h2><p class=\"small\">%1 (the script element "
                            "<code>rows</code>, newest first, with the history's field names), with the "
                            "totals (<code>totals</code>) and the failures by reason (<code>reason-counts</code>)."
                            "</p></section>\n")
                 .arg(embedded)
           + json_block(QStringLiteral("rows"), QJsonDocument(rows))
           + json_block(QStringLiteral("totals"), QJsonDocument(report_totals(data, summary)))
           + json_block(QStringLiteral("reason-counts"), QJsonDocument(reasons)) + QStringLiteral("</body></html>\n");
}

bool write_yield_report(HistoryStore &store, const HistoryFilter &filter, int row_limit,
                        const ReportHeading &heading, const QString &path, YieldSummary &summary, QString &error)
{
    YieldData data;
    if (!store.yield(filter, row_limit, data)) {
        error = QStringLiteral("cannot read the history database (%1)").arg(store.error());
        return false;
    }
    summary = summarize(data);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(yield_html(data, summary, heading).toUtf8()) < 0
        || !file.commit()) {
        error = QStringLiteral("cannot write %1 (%2)").arg(path, file.errorString());
        return false;
    }
    return true;
}
