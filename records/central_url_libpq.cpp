#include "records/central_url.h"

#include <libpq-fe.h>

// libpq's own parser: every form and setting it knows, as the server's tools read them.
ConnectionSettings read_connection_string(const QString &text)
{
    ConnectionSettings read;
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(text.toUtf8().constData(), &message);
    if (!options) {
        read.error = message ? QString::fromUtf8(message).trimmed() : QStringLiteral("out of memory");
        PQfreemem(message);
        return read;
    }
    for (const PQconninfoOption *option = options; option->keyword; ++option) {
        if (option->val)
            read.settings.push_back({QString::fromUtf8(option->keyword), QString::fromUtf8(option->val),
                                     option->dispchar && option->dispchar[0] == '*'});
    }
    PQconninfoFree(options);
    return read;
}
