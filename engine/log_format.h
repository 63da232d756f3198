#pragma once

#include <QDateTime>
#include <QString>

// One line of the status log: "yyyy-MM-dd hh:mm:ss ddd", " :", body, "\n".
// The body is shown printable().
QString format_log_line(const QDateTime &when, const QString &body);

// The text with its control characters written out (\r, \n, \t, \x1b,
// \u202e), so that a module's bytes cannot move a terminal's cursor, change
// its colours or turn the text around.
QString printable(const QString &text);
