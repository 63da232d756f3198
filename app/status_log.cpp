#include "app/status_log.h"

#include "app/mainwindow.h"

#include <QTextEdit>

QString format_log_line(const QDateTime &when, const QString &body)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")) + QStringLiteral(" :") + body
           + QLatin1Char('\n');
}

void MainWindow::append_log(const QString &body)
{
    const QString line = format_log_line(QDateTime::currentDateTime(), body);
    log_text += line;
    log_view->setPlainText(log_text);
    if (log_listener)
        log_listener(line);
}
