#include "records/central_url.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

// The Windows program has neither libpq nor Qt's PostgreSQL driver: this reads
// the URI and the key=value forms far enough to check and show them.

namespace {

void add(ConnectionSettings &read, const QString &key, const QString &value)
{
    if (!value.isEmpty())
        read.settings.push_back({key, value, key.endsWith(QLatin1String("password"))});
}

void read_uri(ConnectionSettings &read, const QRegularExpressionMatch &match)
{
    auto decoded = [&](int group) { return QUrl::fromPercentEncoding(match.captured(group).toUtf8()); };
    add(read, QStringLiteral("user"), decoded(1));
    add(read, QStringLiteral("password"), decoded(2));
    add(read, QStringLiteral("host"), decoded(3));
    add(read, QStringLiteral("port"), match.captured(4));
    add(read, QStringLiteral("dbname"), decoded(5));
    for (const auto &item : QUrlQuery(match.captured(6)).queryItems(QUrl::FullyDecoded))
        add(read, item.first, item.second);
}

void read_pairs(ConnectionSettings &read, const QString &text)
{
    // key=value, key = 'quoted \' value', as libpq reads them.
    const QRegularExpression pair(
        QStringLiteral(R"(\G\s*([A-Za-z_]+)\s*=\s*(?:'((?:[^'\\]|\\.)*)'|((?:[^\s'\\]|\\.)+))(?=\s|$))"));
    const QRegularExpression escape(QStringLiteral(R"(\\(.))"));
    int at = 0;
    for (QRegularExpressionMatch match = pair.match(text); match.hasMatch(); match = pair.match(text, at)) {
        const QString value = match.capturedLength(2) > 0 ? match.captured(2) : match.captured(3);
        add(read, match.captured(1), QString(value).replace(escape, QStringLiteral("\\1")));
        at = match.capturedEnd();
    }
    if (!text.midRef(at).trimmed().isEmpty())
        read.error =
            QStringLiteral("cannot read \"%1\" in connection info string").arg(text.mid(at).trimmed());
}

} // namespace

ConnectionSettings read_connection_string(const QString &text)
{
    ConnectionSettings read;
    const QRegularExpression uri(QStringLiteral(
        "^postgres(?:ql)?://(?:([^:@/]*)(?::([^@/]*))?@)?([^:/?]*)(?::(\\d+))?(?:/([^?]*))?(?:\\?(.*))?$"));
    const QRegularExpressionMatch match = uri.match(text.trimmed());
    if (match.hasMatch())
        read_uri(read, match);
    else if (!text.contains(QLatin1String("://")))
        read_pairs(read, text);
    else
        read.error = QStringLiteral("cannot read the URI \"%1\"").arg(text);
    return read;
}
