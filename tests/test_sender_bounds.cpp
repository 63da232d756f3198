// The sender's limits, with the test playing the boot loader on a bare
// pseudo-terminal: endless NAKs on a block or on the EOT end the port.

#include "handed_over.h"


class TestSenderBounds : public QObject
{
    Q_OBJECT

private slots:
    void ten_naks_on_one_block_fail_the_port()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(300, 'x')));
        rig.pty.send("C");
        const QByteArray first = rig.expect(133);
        QCOMPARE(first.size(), 133);
        for (int i = 0; i < 9; ++i) {
            rig.pty.send(QByteArray(1, nak));
            QCOMPARE(rig.expect(133), first);
        }
        rig.pty.send(QByteArray(1, nak));
        QCOMPARE(rig.expect(2), QByteArray(2, '\x18'));
        QTRY_VERIFY(rig.ended);
        QVERIFY(rig.bodies.last().endsWith(QStringLiteral("对应设备升级失败")));
        QVERIFY(!rig.update->port()->isOpen());
        QVERIFY(!rig.update->image_open());
    }

    void ten_rejected_eots_fail_the_port()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(128, 'y')));
        rig.pty.send("C");
        QCOMPARE(rig.expect(133).size(), 133);
        rig.pty.send(QByteArray(1, ack));
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(rig.expect(1), QByteArray(1, '\x04'));
            rig.pty.send(QByteArray(1, nak));
        }
        QCOMPARE(rig.expect(2), QByteArray(2, '\x18'));
        QTRY_VERIFY(rig.ended);
        QVERIFY(rig.bodies.last().endsWith(QStringLiteral("对应设备升级失败")));
        QCOMPARE(rig.bodies.filter(QStringLiteral("升级成功")).size(), 0);
    }

    void only_the_first_byte_of_a_start_reply_decides()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(10, 'z')));
        rig.pty.send("xC");
        QVERIFY(rig.read_again(2));
        QCOMPARE(int(rig.update->xmodem_phase()), 0);
        rig.pty.send("CCC");
        const QByteArray frame = rig.expect(133);
        QCOMPARE(frame.size(), 133); // several "C" in one read: CRC mode
        rig.pty.send(QByteArray(1, ack));
        QCOMPARE(rig.expect(1), QByteArray(1, '\x04'));
        rig.pty.send(QByteArray(1, ack));
        QTRY_VERIFY(rig.ended);
        QVERIFY(rig.bodies.last().endsWith(QStringLiteral("对应设备升级成功")));
    }
};

QTEST_MAIN(TestSenderBounds)
#include "test_sender_bounds.moc"
