// The sender's waits are bounded: a boot loader that never asks for the
// first block, or never answers one, ends the port's update.

#include "handed_over.h"

class TestSenderTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void no_start_request_within_a_minute()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(300, 'x')));
        rig.pty.send("x"); // not a start request
        QVERIFY(wait_until([&] { return rig.probe->update_button()->isEnabled(); }, 75000));
        QVERIFY(rig.probe->log_bodies().last().endsWith(QStringLiteral("对应设备升级失败")));
        QVERIFY(!rig.probe->port()->isOpen());
        QVERIFY(rig.pty.receive(1, 100).isEmpty()); // nothing was sent, so nothing to cancel
    }

    void a_block_never_answered()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(QByteArray(300, 'x')));
        rig.pty.send("C");
        const QByteArray frame = rig.expect(133);
        QCOMPARE(frame.size(), 133);
        QElapsedTimer clock;
        clock.start();
        QByteArray rest;
        while (!rig.probe->update_button()->isEnabled() && clock.elapsed() < 130000) {
            QTest::qWait(50);
            rest += rig.pty.receive(1000, 1);
        }
        rest += rig.pty.receive(1000, 100);
        QVERIFY(rig.probe->update_button()->isEnabled());
        QCOMPARE(rest, frame.repeated(9) + QByteArray(2, '\x18'));
        QVERIFY(clock.elapsed() >= 90000);
        QVERIFY(rig.probe->log_bodies().last().endsWith(QStringLiteral("对应设备升级失败")));
    }
};

QTEST_MAIN(TestSenderTimeouts)
#include "test_sender_timeouts.moc"
