#include "engine/log_format.h"

#include <algorithm>

namespace {

bool is_control(QChar c)
{
    switch (c.category()) {
    case QChar::Other_Control: // C0, DEL, C1
    case QChar::Other_Format:  // bidirectional overrides, zero-width characters
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString format_log_line(const QDateTime &when, const QString &body)
{
    return when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")) + QStringLiteral(" :") + printable(body)
           + QLatin1Char('\n');
}

QString printable(const QString &text)
{
    if (std::none_of(text.begin(), text.end(), is_control))
        return text;
    QString shown;
    for (const QChar c : text) {
        if (!is_control(c))
            shown += c;
        else if (c == QLatin1Char('\r'))
            shown += QStringLiteral("\\r");
        else if (c == QLatin1Char('\n'))
            shown += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            shown += QStringLiteral("\\t");
        else if (c.unicode() < 0x100)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return shown;
}
