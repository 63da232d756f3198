// A seeded slice of the model-based fuzz target: the seed corpus and a few
// thousand generated inputs through the same property function.

#include "fuzz/xmodem_model.h"

#include <QDir>
#include <QLoggingCategory>
#include <QtTest>
#include <random>

class TestXmodemModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false")); }

    void seed_corpus_holds()
    {
        const QDir corpus(QStringLiteral(TESSIK_MODEL_CORPUS));
        const QStringList names = corpus.entryList(QDir::Files);
        QVERIFY(!names.isEmpty());
        for (const QString &name : names) {
            QFile file(corpus.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray input = file.readAll();
            const std::string failed = check_xmodem_model(reinterpret_cast<const uint8_t *>(input.constData()),
                                                          size_t(input.size()));
            QVERIFY2(failed.empty(), qPrintable(name + QStringLiteral(": ") + QString::fromStdString(failed)));
        }
    }

    void generated_inputs_hold()
    {
        std::mt19937 random(17);
        for (int run = 0; run < 40000; ++run) {
            std::vector<uint8_t> input(16 + random() % 600);
            for (uint8_t &byte : input)
                byte = static_cast<uint8_t>(random());
            const std::string failed = check_xmodem_model(input.data(), input.size());
            QVERIFY2(failed.empty(), qPrintable(QStringLiteral("run %1: ").arg(run) + QString::fromStdString(failed)));
        }
    }
};

QTEST_GUILESS_MAIN(TestXmodemModel)
#include "test_xmodem_model.moc"
