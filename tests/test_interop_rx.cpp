// The tool's transfer judged by a third-party XMODEM receiver, lrzsz's rx.

#include "update_rig.h"

#include <QStandardPaths>

class TestInteropRx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("rx")).isEmpty())
            QFAIL("lrzsz's rx is not installed (scripts/setup installs it)");
    }

    void rx_receives_the_image_data()
    {
        QTest::addColumn<QString>("rx_options");
        QTest::newRow("CRC") << QStringLiteral("-c");
        QTest::newRow("checksum") << QString();
    }

    void rx_receives_the_image()
    {
        QFETCH(QString, rx_options);
        UpdateRig rig;
        // rx refuses absolute paths: it writes into its working directory.
        const QString received = rig.dir.filePath(QStringLiteral("rx-received.bin"));
        const QString command = QStringLiteral("cd '%1' && rx %2 rx-received.bin").arg(rig.dir.path(), rx_options);
        QVERIFY(run_update(rig, {QStringLiteral("--peer-command"), command}, sample_image(100000), 120000));
        QCOMPARE(rig.log_lines_ending_with(rig.module().link() + QStringLiteral("对应设备升级成功")), 1);

        QVERIFY(rig.module().waitForFinished(10000));
        QCOMPARE(rig.module().exitCode(), 0); // rx's own verdict
        QFile file(received);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QVERIFY(data.startsWith(rig.image));
        QCOMPARE(data.mid(rig.image.size()), QByteArray(data.size() - rig.image.size(), '\x1A'));
        QVERIFY(data.size() - rig.image.size() < 128);
    }
};

QTEST_MAIN(TestInteropRx)
#include "test_interop_rx.moc"
