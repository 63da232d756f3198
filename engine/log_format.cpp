#include "engine/log_format.h"

QString format_log_line(const QDateTime &when, const QString &body)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")) + QStringLiteral(" :") + body
           + QLatin1Char('\n');
}
