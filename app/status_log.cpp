#include "app/mainwindow.h"

#include "engine/log_format.h"

#include <QCoreApplication>
#include <QTextEdit>

void MainWindow::append_log(const QString &body)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = format_log_line(now, body);
    log_text += line;
    log_view->setPlainText(log_text);
    record.append(now.date(), line);
}

// Only the record gets this line; the window's log keeps its own lines.
void MainWindow::record_run_start(const QStringList &ports)
{
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QStringLiteral("1.0");
    const QString header = run_header(version, firmware_path, ports, parallel);
    const QDateTime now = QDateTime::currentDateTime();
    record.append(now.date(), format_log_line(now, header));
}
