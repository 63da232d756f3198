// A module whose application answers: found by the scan, rebooted into its
// boot loader with AT commands, then updated.

#include "update_rig.h"

class TestOkRoad : public QObject
{
    Q_OBJECT

private slots:
    void update_data()
    {
        QTest::addColumn<int>("app_baud");
        QTest::newRow("115200") << 115200;
        QTest::newRow("57600") << 57600;
    }

    void update()
    {
        QFETCH(int, app_baud);
        UpdateRig rig;
        QVERIFY(rig.add_module({QStringLiteral("--app-baud"), QString::number(app_baud)}));
        rig.open_window();
        rig.choose_image(sample_image(1000));
        QSignalSpy reset_ticks(rig.probe->reset_timer(), &QTimer::timeout);
        const QString name = rig.module().link();

        rig.update_all();
        QVERIFY(!rig.probe->update_button()->isEnabled());
        QVERIFY(rig.probe->scanning());
        QVERIFY(wait_until([&] { return rig.probe->xmodem_active() || rig.probe->idle(); }, 30000));
        QCOMPARE(rig.probe->rate_text(), QString::number(app_baud));
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 30000));

        SimModule &sim = rig.module();
        const QByteArray at_app_rate = sim.received(app_baud);
        QVERIFY(at_app_rate.contains("+++"));
        QCOMPARE(countOccurrences(at_app_rate, QByteArray("AT+Reboot\r")), 1);
        QCOMPARE(countOccurrences(sim.received(115200), update_request), 1);
        if (app_baud != 115200)
            QVERIFY(!sim.received(app_baud).contains(update_request));

        // One request at 115200, then the first block.
        const QList<qint64> requested = arrival_times(sim, update_request, 115200);
        QCOMPARE(requested.size(), 1);
        const qint64 first_block = event_time(sim, QStringLiteral("first_block"));
        QVERIFY(first_block >= requested.first());

        QCOMPARE(reset_ticks.count(), 0);
        QCOMPARE(rig.probe->log_bodies(),
                 QStringList({QStringLiteral("开始升级") + name + QStringLiteral("对应的设备......."),
                              name + QStringLiteral("对应设备升级成功")}));
        QVERIFY(rig.probe->boxes.isEmpty());
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.outData(), rig.image);
        QVERIFY(!rig.probe->port()->isOpen());
    }
};

QTEST_MAIN(TestOkRoad)
#include "test_update_ok_road.moc"
