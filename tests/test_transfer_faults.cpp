// How the sender meets a module that rejects, cancels, answers nonsense or
// disappears.

#include "update_rig.h"

namespace {
const QByteArray two_cans(2, '\x18');
}

class TestTransferFaults : public QObject
{
    Q_OBJECT

private slots:
    void nak_makes_the_same_frame_go_again()
    {
        UpdateRig rig;
        QStringList progress;
        QVERIFY(rig.add_module({QStringLiteral("--nak-block"), QStringLiteral("7")}));
        rig.open_window();
        rig.choose_image(sample_image(1000));
        rig.update_all();
        QVERIFY(rig.probe->run());
        QObject::connect(rig.probe->run(), &UpdateRun::progress,
                         [&](const QString &, const QString &text) { progress << text; });
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 30000));

        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
        const QList<QByteArray> frames = frames_after_request(rig.module());
        QCOMPARE(frames.size(), 8 + 1 + 1);
        QCOMPARE(frames[6], frames[7]);
        QCOMPARE(quint8(frames[7].at(1)), quint8(7));
        QCOMPARE(progress.size(), 8); // the rewrite is not counted again
        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);
    }

    void cancel_from_the_module_fails_the_port()
    {
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--can-block"), QStringLiteral("3")}, sample_image(1000)));
        const QString name = rig.module().link();
        QCOMPARE(rig.probe->log_bodies().last(), name + QStringLiteral("对应设备升级失败"));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 0);
        QCOMPARE(frames_after_request(rig.module()).size(), 3);
        QVERIFY(!rig.probe->port()->isOpen());
        QVERIFY(!rig.probe->image_open());
        QCOMPARE(rig.probe->current_port(), 0);
    }

    void lone_start_character_after_a_block_fails_the_port()
    {
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--reply-after-block"), QStringLiteral("2:43")},
                           sample_image(1000)));
        QCOMPARE(rig.probe->log_bodies().last(), rig.module().link() + QStringLiteral("对应设备升级失败"));
        // The boot loader is told to stop waiting.
        // The module reads what the tool wrote in its own time.
        QVERIFY(wait_until([&] { return rig.module().received(115200).endsWith(two_cans); }, 30000));
        QVERIFY(!rig.probe->port()->isOpen());
    }

    void ack_read_together_with_a_stray_byte_counts()
    {
        // Adapters deliver bytes in batches: the ACK decides, the byte after
        // it is ignored, and the next block follows at once.
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--reply-after-block"), QStringLiteral("3:0641")},
                           sample_image(1000)));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
        const QList<QByteArray> frames = frames_after_request(rig.module());
        QCOMPARE(frames.size(), 8 + 1);
        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);
    }

    void end_of_transmission_is_confirmed()
    {
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--nak-first-eot")}, sample_image(300)));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
        const QList<QByteArray> frames = frames_after_request(rig.module());
        QCOMPARE(frames.mid(3), QList<QByteArray>({QByteArray(1, '\x04'), QByteArray(1, '\x04')}));
    }

    void last_block_is_acknowledged_before_the_end()
    {
        // No reply to the short last block: it is written again, not followed
        // by an EOT that would hide its loss.
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--silent-block"), QStringLiteral("3")}, sample_image(300)));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
        const QList<QByteArray> frames = frames_after_request(rig.module());
        QCOMPARE(frames.size(), 3 + 1 + 1);
        QCOMPARE(frames[2], frames[3]);
        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);
    }

    void port_vanishing_mid_transfer()
    {
        UpdateRig rig;
        QVERIFY(run_update(rig, {QStringLiteral("--vanish-block"), QStringLiteral("4")}, sample_image(2000)));
        QCOMPARE(rig.probe->log_bodies().last(), rig.module().link() + QStringLiteral("对应设备升级失败"));
        QVERIFY(rig.probe->update_button()->isEnabled());
        QVERIFY(!rig.probe->port()->isOpen());
        QVERIFY(!rig.probe->image_open());
        QCOMPARE(rig.probe->current_port(), 0);
    }
};

QTEST_MAIN(TestTransferFaults)
#include "test_transfer_faults.moc"
