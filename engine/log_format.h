#pragma once

#include <QDateTime>
#include <QString>

// One line of the status log: "yyyy-MM-dd hh:mm:ss ddd", " :", body, "\n".
QString format_log_line(const QDateTime &when, const QString &body);
