// Every text for the operator has its English: lupdate reads the sources
// into a copy of each translation file, and a text it finds new (no
// translation yet), one the sources no longer hold, or one left empty fails
// the test by name.

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

class TranslationsTest : public QObject
{
    Q_OBJECT

private slots:
    void every_operator_text_has_its_english()
    {
        const QString lupdate = QStringLiteral(TESSIK_LUPDATE_PATH);
        if (lupdate.isEmpty())
            QSKIP("lupdate is not installed (Debian: qttools5-dev-tools)");
        const QDir root(QStringLiteral(TESSIK_SOURCE_DIR));
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("tessik_en.ts"));
        QVERIFY(QFile::copy(root.filePath(QStringLiteral("translations/tessik_en.ts")), copy));
        QProcess update;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LUPDATE"), lupdate);
        update.setProcessEnvironment(environment);
        update.start(root.filePath(QStringLiteral("scripts/translations")), {copy});
        QVERIFY(update.waitForFinished(120000));
        QVERIFY2(update.exitCode() == 0, update.readAllStandardError().constData());

        QFile file(copy);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader ts(&file);
        QString context, source;
        QStringList lacking;
        int messages = 0;
        while (ts.readNext() != QXmlStreamReader::EndDocument && !ts.hasError()) {
            if (!ts.isStartElement())
                continue;
            if (ts.name() == QLatin1String("name"))
                context = ts.readElementText();
            else if (ts.name() == QLatin1String("source"))
                source = ts.readElementText();
            else if (ts.name() == QLatin1String("translation")) {
                ++messages;
                const QString type = ts.attributes().value(QStringLiteral("type")).toString();
                const bool empty = ts.readElementText().isEmpty();
                if (!type.isEmpty() || empty)
                    lacking << QStringLiteral("%1 \"%2\" (%3)").arg(context, source,
                                                                     type.isEmpty() ? QStringLiteral("empty") : type);
            }
        }
        QVERIFY2(!ts.hasError(), qPrintable(ts.errorString()));
        QVERIFY(messages > 100);
        QVERIFY2(lacking.isEmpty(), qPrintable(QStringLiteral("%1 texts without their English: %2")
                                                    .arg(lacking.size())
                                                    .arg(lacking.join(QStringLiteral("; ")))));
    }
};

QTEST_GUILESS_MAIN(TranslationsTest)
#include "test_translations.moc"
