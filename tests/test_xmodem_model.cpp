// A seeded slice of the model-based fuzz target: its seed corpus and
// generated inputs through the same property function.

#include "fuzz/xmodem_model.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QtTest>
#include <algorithm>
#include <random>

class TestXmodemModel : public QObject
{
    Q_OBJECT

private slots:
    void corpus_and_generated_inputs_hold()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));
        QList<QByteArray> inputs;
        const QDir corpus(QStringLiteral(TESSIK_MODEL_CORPUS));
        for (const QFileInfo &seed : corpus.entryInfoList(QDir::Files)) {
            QFile file(seed.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            inputs << file.readAll();
        }
        QVERIFY(inputs.size() >= 6);
        // The same inputs in the same order every time; a few seconds of them
        // (a sanitizer build gets through fewer), at least the first 500.
        std::mt19937 random(17);
        QElapsedTimer slice;
        slice.start();
        for (int run = 0; run < 40000 && (run < 500 + inputs.size() || slice.elapsed() < 3000); ++run) {
            QByteArray input = run < inputs.size() ? inputs.at(run) : QByteArray(int(16 + random() % 600), 0);
            if (run >= inputs.size())
                std::generate(input.begin(), input.end(), [&random] { return char(random()); });
            const std::string failed = check_xmodem_model(reinterpret_cast<const uint8_t *>(input.constData()),
                                                          size_t(input.size()));
            QVERIFY2(failed.empty(), qPrintable(QString::fromStdString(failed) + QLatin1Char(' ') + input.toHex()));
        }
    }
};

QTEST_GUILESS_MAIN(TestXmodemModel)
#include "test_xmodem_model.moc"
