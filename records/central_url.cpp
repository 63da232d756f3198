#include "records/central_url.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QStringList>
#include <algorithm>

namespace {

bool is_uri(const QString &text)
{
    return text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://"));
}

// libpq ends the user name and password at the first '@': a password typed
// with an '@' in it would lend its second half to the host name. Within the
// part before the host's '/' or '?', every '@' but the last is part of them.
QString with_at_signs_encoded(const QString &uri)
{
    const int start = uri.indexOf(QLatin1String("://")) + 3;
    int end = uri.indexOf(QRegularExpression(QStringLiteral("[/?]")), start);
    if (end < 0)
        end = uri.size();
    const int last_at = uri.lastIndexOf(QLatin1Char('@'), end - 1);
    if (last_at < start)
        return uri;
    QString user_info = uri.mid(start, last_at - start);
    return uri.left(start) + user_info.replace(QLatin1Char('@'), QLatin1String("%40")) + uri.mid(last_at);
}

// A text that cannot be read may still hold a password: libpq's messages
// quote parts of it (a password's second word, a whole URI).
bool may_hold_password(const QString &text)
{
    return text.contains(QLatin1String("password"), Qt::CaseInsensitive)
           || text.contains(QRegularExpression(QStringLiteral("://[^@]*:[^@]*@")));
}

// The message with what it quotes of the text left out when that may hold a
// password: from the first quote to the last, libpq's own marks ("=", ":",
// "/", "]") aside.
QString told_safely(const QString &text, const QString &message)
{
    if (!may_hold_password(text))
        return message;
    QVector<int> quotes;
    for (int i = 0; i < message.size(); ++i) {
        if (message[i] != QLatin1Char('"'))
            continue;
        if (i + 2 < message.size() && message[i + 2] == QLatin1Char('"')
            && QStringLiteral("=:/]").contains(message[i + 1]))
            i += 2;
        else
            quotes << i;
    }
    if (quotes.isEmpty())
        return message;
    const int last = quotes.size() > 1 ? quotes.last() : message.size() - 1;
    return message.left(quotes.first()) + QStringLiteral("\"...\"") + message.mid(last + 1);
}

QString quoted(const QString &value)
{
    return QLatin1Char('\'')
           + QString(value)
                 .replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                 .replace(QLatin1Char('\''), QLatin1String("\\'"))
           + QLatin1Char('\'');
}

QString quoted_when_needed(const QString &value)
{
    return value.contains(QRegularExpression(QStringLiteral("[\\s'\\\\]"))) ? quoted(value) : value;
}

// 0 when the value is no single port number.
int one_port(const QString &value)
{
    const int port = value.toInt();
    return port > 0 && port < 65536 ? port : 0;
}

bool is_port_list(const QString &value)
{
    const QStringList ports = value.split(QLatin1Char(','));
    return std::all_of(ports.begin(), ports.end(),
                       [](const QString &port) { return port.isEmpty() || one_port(port) > 0; });
}

// What libpq reads without complaint but the tool cannot use.
QString unusable_setting(const CentralUrl &url, const bool uri)
{
    if (uri && (url.host.contains(QLatin1Char('@')) || url.database.contains(QLatin1Char('@'))))
        return QStringLiteral("in a URI a '/' or '?' in the user name or password is written %2F or %3F "
                              "(an '@' in a host or database name needs the key=value form)");
    if (url.database.isEmpty()
        && !std::any_of(url.options.begin(), url.options.end(),
                        [](const auto &option) { return option.key == QLatin1String("service"); }))
        return QStringLiteral("the central database string names no database (dbname)");
    for (const ConnectionSetting &option : url.options) {
        if (option.key == QLatin1String("port") && !is_port_list(option.value))
            return QStringLiteral("the port of the central database is not a number");
        // Qt's PostgreSQL driver turns every ';' of its connect options into a space.
        if (option.value.contains(QLatin1Char(';')))
            return QStringLiteral("the setting \"%1\" of the central database holds a ';', which Qt's "
                                  "PostgreSQL driver cannot pass on")
                .arg(option.key);
    }
    return QString();
}

} // namespace

bool CentralUrl::holds_password() const
{
    return !password.isEmpty()
           || std::any_of(options.begin(), options.end(),
                          [](const ConnectionSetting &option) { return option.secret; });
}

QString CentralUrl::shown() const
{
    if (!valid())
        return QStringLiteral("(a string that cannot be read)");
    QStringList pairs;
    auto show = [&pairs](const QString &key, const QString &value, bool secret) {
        if (!value.isEmpty())
            pairs << key + QLatin1Char('=') + (secret ? QStringLiteral("***") : quoted_when_needed(value));
    };
    show(QStringLiteral("host"), host, false);
    show(QStringLiteral("port"), port > 0 ? QString::number(port) : QString(), false);
    show(QStringLiteral("dbname"), database, false);
    show(QStringLiteral("user"), user, false);
    show(QStringLiteral("password"), password, true);
    for (const ConnectionSetting &option : options)
        show(option.key, option.value, option.secret);
    return pairs.join(QLatin1Char(' '));
}

QString CentralUrl::driver_options() const
{
    // A server that does not answer must not hold a row back for long.
    QStringList pairs = {QStringLiteral("connect_timeout=5")};
    for (const ConnectionSetting &option : options)
        pairs << option.key + QLatin1Char('=') + quoted(option.value);
    return pairs.join(QLatin1Char(' '));
}

void CentralUrl::configure(QSqlDatabase &db) const
{
    // The driver quotes these itself; -1 leaves the port to libpq.
    db.setHostName(host);
    db.setPort(port);
    db.setUserName(user);
    db.setPassword(password);
    db.setDatabaseName(database);
    db.setConnectOptions(driver_options());
}

CentralUrl parse_central_url(const QString &text)
{
    CentralUrl url;
    const QString trimmed = text.trimmed();
    const bool uri = is_uri(trimmed);
    if (!uri && trimmed.contains(QRegularExpression(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://")))) {
        url.error =
            QStringLiteral("the central database is a postgresql:// URI or libpq's key=value settings");
        return url;
    }
    const ConnectionSettings read = read_connection_string(uri ? with_at_signs_encoded(trimmed) : trimmed);
    if (!read.error.isEmpty()) {
        url.error = told_safely(
            text, QStringLiteral("the central database string cannot be read: %1").arg(read.error));
        if (read.error.startsWith(QLatin1String("missing \"=\"")))
            url.error += QStringLiteral(" (a value that holds spaces is quoted: password='two words')");
        return url;
    }
    for (const ConnectionSetting &setting : read.settings) {
        if (setting.key == QLatin1String("host"))
            url.host = setting.value;
        else if (setting.key == QLatin1String("user"))
            url.user = setting.value;
        else if (setting.key == QLatin1String("password"))
            url.password = setting.value;
        else if (setting.key == QLatin1String("dbname"))
            url.database = setting.value;
        else if (setting.key == QLatin1String("port") && one_port(setting.value) > 0)
            url.port = one_port(setting.value);
        else
            url.options.push_back(setting);
    }
    const QString unusable = unusable_setting(url, uri);
    if (unusable.isEmpty())
        return url;
    // Nothing of what was read: it may hold parts of a password.
    CentralUrl refused;
    refused.error = told_safely(text, unusable);
    return refused;
}

bool central_db_holds_password(const QString &text)
{
    if (text.trimmed().isEmpty())
        return false;
    const CentralUrl url = parse_central_url(text);
    return url.valid() ? url.holds_password() : may_hold_password(text);
}
