// The reference against the code: every option, JSON event, event field and
// reason code the tool has is in the man page (and the docs), and the man
// page's lists name none the tool lacks.

#include "cli/command_line.h"
#include "engine/outcome.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

QString read_text(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QSet<QString> matches(const QString &text, const QString &pattern)
{
    QSet<QString> found;
    QRegularExpressionMatchIterator it =
        QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
    while (it.hasNext())
        found.insert(it.next().captured(1));
    return found;
}

// The man page's text from a section heading to the next one, roff's "\-" as "-".
QString man_section(const QString &man, const QString &heading)
{
    const int start = man.indexOf(QStringLiteral(".SH ") + heading);
    const int end = man.indexOf(QStringLiteral("\n.SH "), start + 1);
    return start < 0 ? QString()
                     : man.mid(start, end < 0 ? -1 : end - start)
                           .replace(QStringLiteral("\\-"), QStringLiteral("-"));
}

// The names a list item starts with: ".TP" then ".B name" (or .BI, .BR).
QSet<QString> items(const QString &section, const QString &name_pattern)
{
    // ".BR -f ", " --file ..." for an option with a short name too
    return matches(section, QStringLiteral(R"re(^\.TP\n\.B[IR]? (?:-[a-z] ", " )?(%1))re").arg(name_pattern));
}

// What one side names and the other lacks; empty when they agree (both_ways: also the page's extras).
QString mismatch(const char *kind, const QSet<QString> &in_code, const QSet<QString> &in_man,
                 bool both_ways = true)
{
    QStringList lacking = (in_code - in_man).values(), extra = (in_man - in_code).values();
    QString text = lacking.isEmpty()
                       ? QString()
                       : QStringLiteral("%1 missing from the man page: %2; ").arg(kind, lacking.join(", "));
    if (both_ways && !extra.isEmpty())
        text += QStringLiteral("the man page names %1 the tool lacks: %2").arg(kind, extra.join(", "));
    return text;
}

} // namespace

class ReferenceTest : public QObject
{
    Q_OBJECT

    QString man;
    QString json_output; // the man page's JSON OUTPUT section
    QString code;        // the sources that write JSON events

private slots:
    void initTestCase()
    {
        const QDir root(QStringLiteral(TESSIK_SOURCE_DIR));
        man = read_text(root.filePath(QStringLiteral("dist/tessik-update-tool.1")));
        json_output = man_section(man, QStringLiteral("JSON OUTPUT"));
        for (const QFileInfo &file :
             QDir(root.filePath(QStringLiteral("cli"))).entryInfoList({QStringLiteral("*.cpp")})) {
            const QString text = read_text(file.filePath());
            if (text.contains(QLatin1String("QStringLiteral(\"event\")")))
                code += text;
        }
        QVERIFY(!json_output.isEmpty() && !code.isEmpty());
    }

    void options()
    {
        const QSet<QString> in_code = matches(usage_text(), QStringLiteral(R"re((--[a-z0-9-]+))re"));
        const QSet<QString> listed =
            items(man_section(man, QStringLiteral("OPTIONS")), QStringLiteral("--[a-z0-9-]+"));
        QVERIFY(in_code.size() > 30);
        QVERIFY2(mismatch("options", in_code, listed).isEmpty(),
                 qPrintable(mismatch("options", in_code, listed)));
    }

    void reason_codes()
    {
        QSet<QString> in_code;
        for (int value = 0; QLatin1String(reason_code(FailReason(value))) != QLatin1String("unknown");
             ++value)
            in_code.insert(QString::fromLatin1(reason_code(FailReason(value))));
        const int list = json_output.indexOf(QStringLiteral("event is one of:"));
        QVERIFY(list > 0);
        const QSet<QString> listed = items(json_output.mid(list), QStringLiteral("[a-z_]+"));
        QVERIFY2(mismatch("reason codes", in_code, listed).isEmpty(),
                 qPrintable(mismatch("reason codes", in_code, listed)));
    }

    void events_and_their_fields()
    {
        const QSet<QString> events =
            matches(code, QStringLiteral(R"re(QStringLiteral\("event"\), QStringLiteral\("([a-z_]+)"\))re"))
            | matches(code, QStringLiteral(R"re(\bevent\(QStringLiteral\("([a-z_]+)"\))re"));
        const QSet<QString> fields =
            matches(code, QStringLiteral(R"re(\{QStringLiteral\("([a-z_0-9]+)"\),)re"));
        const int list_end = json_output.indexOf(QStringLiteral("\n.PP"));
        const QSet<QString> listed = items(json_output.left(list_end), QStringLiteral("[a-z_]+"));
        const QSet<QString> words = matches(json_output, QStringLiteral(R"re(\b([a-z_0-9]+)\b)re"));
        QVERIFY(events.size() > 15 && fields.size() > 30);
        QVERIFY2(mismatch("events", events, listed).isEmpty(),
                 qPrintable(mismatch("events", events, listed)));
        QVERIFY2(mismatch("event fields", fields, words, false).isEmpty(),
                 qPrintable(mismatch("event fields", fields, words, false)));
    }
};

QTEST_GUILESS_MAIN(ReferenceTest)
#include "test_reference.moc"
