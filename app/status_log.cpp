#include "app/mainwindow.h"

#include "engine/log_format.h"

#include <QTextEdit>

void MainWindow::append_log(const QString &body)
{
    log_text += format_log_line(QDateTime::currentDateTime(), body);
    log_view->setPlainText(log_text);
}
