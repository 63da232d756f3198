#include "records/central_url.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace {

bool set_field(CentralUrl &url, const QString &key, const QString &value)
{
    if (key == QLatin1String("host"))
        url.host = value;
    else if (key == QLatin1String("port"))
        url.port = value.toInt();
    else if (key == QLatin1String("user"))
        url.user = value;
    else if (key == QLatin1String("password"))
        url.password = value;
    else if (key == QLatin1String("dbname"))
        url.database = value;
    else
        return false;
    return key != QLatin1String("port") || url.port > 0;
}

} // namespace

QString CentralUrl::shown() const
{
    const QString where = host.startsWith(QLatin1Char('/')) ? QStringLiteral("?host=") + host : QString();
    const QString at = host.startsWith(QLatin1Char('/')) ? QString() : host;
    return QStringLiteral("postgresql://%1%2%3%4/%5%6")
        .arg(user, user.isEmpty() ? QString() : QStringLiteral("@"), at,
             port > 0 ? QLatin1Char(':') + QString::number(port) : QString(), database, where);
}

CentralUrl parse_central_url(const QString &text)
{
    CentralUrl url;
    const QRegularExpression form(QStringLiteral(
        "^postgres(?:ql)?://(?:([^:@/]*)(?::([^@/]*))?@)?([^:/?]*)(?::(\\d+))?(?:/([^?]*))?(?:\\?(.*))?$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (match.hasMatch()) {
        auto decoded = [&](int group) { return QUrl::fromPercentEncoding(match.captured(group).toUtf8()); };
        url.user = decoded(1);
        url.password = decoded(2);
        url.host = decoded(3);
        url.port = match.captured(4).isEmpty() ? -1 : match.captured(4).toInt();
        url.database = decoded(5);
        for (const auto &item : QUrlQuery(match.captured(6)).queryItems(QUrl::FullyDecoded)) {
            if (!set_field(url, item.first, item.second))
                url.error =
                    QStringLiteral("unknown or bad setting %1 in the central database URL").arg(item.first);
        }
    } else if (text.contains(QLatin1Char('=')) && !text.contains(QLatin1String("://"))) {
        for (const QString &pair : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!set_field(url, pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1)))
                url.error = QStringLiteral("unknown or bad setting %1 in the central database URL")
                                .arg(pair.section(QLatin1Char('='), 0, 0));
        }
    } else {
        url.error = QStringLiteral("the central database needs postgresql://user@host:port/dbname "
                                   "or host=/socket/folder dbname=NAME");
    }
    if (url.valid() && url.database.isEmpty())
        url.error = QStringLiteral("the central database URL names no database");
    return url;
}
