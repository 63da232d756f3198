#include "records/history_format.h"

#include "engine/log_format.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString json_line(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

QString percent(qint64 part, qint64 whole)
{
    return whole > 0 ? QString::number(100.0 * part / whole, 'f', 1) + QLatin1Char('%') : QStringLiteral("-");
}

double ratio(qint64 part, qint64 whole)
{
    return whole > 0 ? double(part) / whole : 0.0;
}

QStringList stats_header()
{
    return {QStringLiteral("station"),      QStringLiteral("port"),
            QStringLiteral("image_sha256"), QStringLiteral("image_path"),
            QStringLiteral("attempts"),     QStringLiteral("units"),
            QStringLiteral("units_ok"),     QStringLiteral("first_pass_yield"),
            QStringLiteral("final_yield"),  QStringLiteral("mean_seconds")};
}

} // namespace

QString aligned_table(const QStringList &header, const QVector<QStringList> &given)
{
    QVector<QStringList> cells = given;
    for (QStringList &line : cells) {
        for (QString &cell : line)
            cell = printable(cell);
    }
    QVector<int> widths;
    for (const QString &name : header)
        widths << name.size();
    for (const QStringList &line : qAsConst(cells)) {
        for (int i = 0; i < line.size() && i < widths.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    }
    auto format_line = [&](const QStringList &line) {
        QString text;
        for (int i = 0; i < line.size(); ++i)
            text += i + 1 < line.size() ? line.at(i).leftJustified(widths[i] + 2) : line.at(i);
        return text + QLatin1Char('\n');
    };
    QString table = format_line(header);
    for (const QStringList &line : qAsConst(cells))
        table += format_line(line);
    return table;
}

QString csv_line(const QStringList &fields)
{
    QStringList quoted;
    for (QString field : fields) {
        // A spreadsheet would take such a cell for a formula (OWASP's CSV injection rule).
        const bool formula = !field.isEmpty() && QStringLiteral("=+-@\t\r").contains(field.at(0));
        if (formula)
            field.prepend(QLatin1Char('\''));
        if (formula || field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"'))
            || field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r')))
            field =
                QLatin1Char('"') + field.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
        quoted << field;
    }
    return quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

QString format_rows(const QVector<HistoryRow> &rows, HistoryFormat format)
{
    QString text;
    if (format == HistoryFormat::json) {
        for (const HistoryRow &row : rows)
            text += json_line(history_json(row));
        return text;
    }
    if (format == HistoryFormat::csv) {
        const QStringList columns = history_columns();
        text = csv_line(columns);
        for (const HistoryRow &row : rows) {
            QStringList fields;
            for (const QString &column : columns)
                fields << history_value(row, column).toString();
            text += csv_line(fields);
        }
        return text;
    }
    const QStringList header = {
        QStringLiteral("id"),       QStringLiteral("started_utc"), QStringLiteral("station"),
        QStringLiteral("operator"), QStringLiteral("port"),        QStringLiteral("result"),
        QStringLiteral("reason"),   QStringLiteral("attempt"),     QStringLiteral("seconds"),
        QStringLiteral("rate"),     QStringLiteral("module_id"),   QStringLiteral("verified"),
        QStringLiteral("image")};
    QVector<QStringList> cells;
    for (const HistoryRow &row : rows) {
        cells << QStringList{QString::number(row.id),
                             row.started_utc,
                             row.station,
                             row.operator_name,
                             row.port,
                             row.result,
                             row.reason,
                             QString::number(row.attempt),
                             QString::number(row.seconds, 'f', 1),
                             row.rate ? QString::number(row.rate) : QString(),
                             row.module_id,
                             row.verified,
                             row.image_sha256.left(12)};
    }
    return aligned_table(header, cells);
}

QString format_stats(const QVector<HistoryStats> &stats, HistoryFormat format)
{
    QVector<QStringList> cells;
    QString text;
    for (const HistoryStats &line : stats) {
        if (format == HistoryFormat::json) {
            text += json_line({{QStringLiteral("station"), line.station},
                               {QStringLiteral("port"), line.port},
                               {QStringLiteral("image_sha256"), line.image_sha256},
                               {QStringLiteral("image_path"), line.image_path},
                               {QStringLiteral("attempts"), line.attempts},
                               {QStringLiteral("units"), line.units},
                               {QStringLiteral("units_ok"), line.units_ok},
                               {QStringLiteral("first_pass_yield"), ratio(line.first_pass_ok, line.units)},
                               {QStringLiteral("final_yield"), ratio(line.units_ok, line.units)},
                               {QStringLiteral("mean_seconds"), line.mean_seconds}});
            continue;
        }
        const bool csv = format == HistoryFormat::csv;
        cells << QStringList{line.station,
                             line.port,
                             csv ? line.image_sha256 : line.image_sha256.left(12),
                             line.image_path,
                             QString::number(line.attempts),
                             QString::number(line.units),
                             QString::number(line.units_ok),
                             csv ? QString::number(ratio(line.first_pass_ok, line.units), 'f', 4)
                                 : percent(line.first_pass_ok, line.units),
                             csv ? QString::number(ratio(line.units_ok, line.units), 'f', 4)
                                 : percent(line.units_ok, line.units),
                             QString::number(line.mean_seconds, 'f', 1)};
    }
    if (format == HistoryFormat::json)
        return text;
    if (format == HistoryFormat::csv) {
        text = csv_line(stats_header());
        for (const QStringList &line : qAsConst(cells))
            text += csv_line(line);
        return text;
    }
    QStringList header = stats_header();
    header[2] = QStringLiteral("image");
    return aligned_table(header, cells);
}
