// The sender's waits are bounded, in test time: a boot loader that never
// asks for the first block, never answers a block or never confirms the
// EOT ends the port's update, and a late answer inside the bound does not.

#include "handed_over.h"

class TestSenderTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void no_start_request_within_a_minute()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(300, 'x'), true));
        rig.pty.send("x"); // not a start request
        rig.clock.advance(59999);
        QVERIFY(rig.read_again()); // it has looked at the time since
        QVERIFY(!rig.ended);
        rig.clock.advance(1);
        QVERIFY(wait_until([&] { return rig.ended; }, 5000));
        QCOMPARE(rig.reason, FailReason::no_start_request);
        QVERIFY(rig.bodies.last().endsWith(QStringLiteral("对应设备升级失败")));
        QVERIFY(!rig.update->port()->isOpen());
        QVERIFY(rig.pty.receive(1, 100).isEmpty()); // nothing was sent, so nothing to cancel
    }

    void a_block_never_answered()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(300, 'x'), true));
        rig.pty.send("C");
        const QByteArray frame = rig.expect(133);
        QCOMPARE(frame.size(), 133);
        rig.clock.advance(9999);
        QVERIFY(rig.read_again());
        QVERIFY(rig.pty.receive(1000, 200).isEmpty());
        rig.clock.advance(1);
        for (int i = 0; i < 9; ++i) {
            QCOMPARE(rig.expect(133), frame);
            rig.clock.advance(10000);
        }
        QCOMPARE(rig.expect(2), QByteArray(2, '\x18'));
        QVERIFY(wait_until([&] { return rig.ended; }, 5000));
        QCOMPARE(rig.reason, FailReason::retries_exhausted);
        QVERIFY(rig.bodies.last().endsWith(QStringLiteral("对应设备升级失败")));
    }

    void an_answer_within_the_block_bound_goes_on()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(128, 'q'), true));
        rig.pty.send("C");
        QCOMPARE(rig.expect(133).size(), 133);
        rig.clock.advance(9000);
        rig.pty.send(QByteArray(1, ack));
        QCOMPARE(rig.expect(1), QByteArray(1, '\x04'));
        rig.pty.send(QByteArray(1, ack));
        QVERIFY(wait_until([&] { return rig.ended; }, 5000));
        QCOMPARE(rig.result, PortResult::success);
    }

    void an_eot_never_confirmed()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(128, 'e'), true));
        rig.pty.send("C");
        QCOMPARE(rig.expect(133).size(), 133);
        rig.pty.send(QByteArray(1, ack));
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(rig.expect(1), QByteArray(1, '\x04'));
            rig.clock.advance(5000);
        }
        QCOMPARE(rig.expect(2), QByteArray(2, '\x18'));
        QVERIFY(wait_until([&] { return rig.ended; }, 5000));
        QCOMPARE(rig.reason, FailReason::eot_unconfirmed);
        QCOMPARE(rig.bodies.filter(QStringLiteral("升级成功")).size(), 0);
    }
};

QTEST_MAIN(TestSenderTimeouts)
#include "test_sender_timeouts.moc"
