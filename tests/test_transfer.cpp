// Whole updates of images of several sizes, in CRC and checksum mode.

#include "update_rig.h"

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void image_sizes_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("blocks");
        QTest::newRow("empty: EOT alone") << 0 << 0;
        QTest::newRow("256 bytes") << 256 << 2;
        QTest::newRow("300 bytes") << 300 << 3;
    }

    void image_sizes()
    {
        QFETCH(int, size);
        QFETCH(int, blocks);
        UpdateRig rig;
        QVERIFY(run_update(rig, {}, sample_image(size)));
        const QString name = rig.module().link();
        QCOMPARE(rig.log_lines_ending_with(name + QStringLiteral("对应设备升级成功")), 1);

        const QList<QByteArray> frames = frames_after_request(rig.module());
        QCOMPARE(frames.size(), blocks + 1);
        for (int i = 0; i < blocks; ++i) {
            QCOMPARE(frames[i].size(), 133);
            QCOMPARE(quint8(frames[i].at(1)), quint8(i + 1));
        }
        QCOMPARE(frames.last(), QByteArray(1, '\x04'));
        if (size == 300) {
            QCOMPARE(frames[2].mid(3 + 44, 84), QByteArray(84, '\x1A'));
            QCOMPARE(rig.probe->progress_label(0)->text(), QStringLiteral("完成:100%"));
        }
        if (size == 0)
            QVERIFY(rig.probe->progress_label(0)->text().isEmpty());

        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);
    }

    void one_mebibyte_byte_exact()
    {
        UpdateRig rig;
        QVERIFY(run_update(rig, {}, sample_image(1 << 20), 120000));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
        const QList<QByteArray> frames = frames_after_request(rig.module());
        QCOMPARE(frames.size(), 8192 + 1);
        QCOMPARE(frames[254].left(3), QByteArray("\x01\xFF\x00", 3)); // block 255
        QCOMPARE(frames[255].left(3), QByteArray("\x01\x00\xFF", 3)); // then 0
        QCOMPARE(frames[256].left(3), QByteArray("\x01\x01\xFE", 3));
        QVERIFY(rig.module().waitForFinished(5000));
        QVERIFY(rig.module().outData() == rig.image);
    }

    void checksum_mode()
    {
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--checksum")}, sample_image(1000)));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
        const QList<QByteArray> frames = frames_after_request(rig.module(), false);
        QCOMPARE(frames.size(), 8 + 1);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(frames[i].size(), 132);
            quint8 sum = 0;
            for (int j = 3; j < 131; ++j)
                sum = quint8(sum + quint8(frames[i].at(j)));
            QCOMPARE(quint8(frames[i].at(131)), sum);
        }
        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);
    }
};

QTEST_MAIN(TestTransfer)
#include "test_transfer.moc"
