#include "records/central_url.h"

#include <QLibrary>
#include <libpq-fe.h>

// libpq's own parser: every form and setting it knows, as the server's tools
// read them. libpq is opened here, when a connection string is read, not
// linked: with Kerberos, LDAP and TLS behind it, linking it costs every run
// of the tool several milliseconds of start-up, most of which have no
// central database. QLibrary leaves it loaded for the next call.
ConnectionSettings read_connection_string(const QString &text)
{
    ConnectionSettings read;
    QLibrary libpq(QStringLiteral("pq"), 5);
    using Parse = PQconninfoOption *(*)(const char *, char **);
    using FreeOptions = void (*)(PQconninfoOption *);
    using FreeMemory = void (*)(void *);
    const auto parse = reinterpret_cast<Parse>(libpq.resolve("PQconninfoParse"));
    const auto free_options = reinterpret_cast<FreeOptions>(libpq.resolve("PQconninfoFree"));
    const auto free_memory = reinterpret_cast<FreeMemory>(libpq.resolve("PQfreemem"));
    if (!parse || !free_options || !free_memory) {
        read.error =
            QStringLiteral("libpq, which reads connection strings, cannot be loaded (%1); install libpq5")
                .arg(libpq.errorString());
        return read;
    }
    char *message = nullptr;
    PQconninfoOption *options = parse(text.toUtf8().constData(), &message);
    if (!options) {
        read.error = message ? QString::fromUtf8(message).trimmed() : QStringLiteral("out of memory");
        free_memory(message);
        return read;
    }
    for (const PQconninfoOption *option = options; option->keyword; ++option) {
        if (option->val)
            read.settings.push_back({QString::fromUtf8(option->keyword), QString::fromUtf8(option->val),
                                     option->dispchar && option->dispchar[0] == '*'});
    }
    free_options(options);
    return read;
}
