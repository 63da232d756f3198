#include "app/mainwindow.h"

#include "app/modal_ui.h"
#include "records/history_store.h"
#include "records/yield_report.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

void MainWindow::write_report()
{
    const QString database = records.resolved_db_path();
    if (!records.enabled || !QFileInfo::exists(database)) {
        modal->warning(this, tr("Report"), tr("There is no history to report on yet: %1").arg(database));
        return;
    }
    const QString station = records.resolved_station();
    const QDate today = QDate::currentDate();
    const QString suggested =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(QStringLiteral("yield-%1-%2.html").arg(station, today.toString(Qt::ISODate)));
    const QString path = modal->save_file_name(this, tr("Report"), suggested, tr("Web page (*.html)"));
    if (path.isEmpty())
        return;
    HistoryFilter filter;
    filter.station = station;
    filter.since_utc = utc_text(QDateTime(today, QTime(0, 0)).toUTC());
    HistoryStore store(database);
    YieldSummary summary;
    QString error;
    const ReportHeading heading{database, filter_text(filter), utc_text(QDateTime::currentDateTimeUtc())};
    if (!write_yield_report(store, filter, default_report_rows, heading, path, summary, error)) {
        modal->critical(this, tr("Report"), error);
        return;
    }
    append_log(tr("yield report written: %1 (%2 units, %3 ok, %4 failed)")
                   .arg(path)
                   .arg(summary.total.units)
                   .arg(summary.total.units_ok)
                   .arg(summary.total.units_failed));
}
