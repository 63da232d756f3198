// A module whose application is dead: the operator is asked to press reset,
// and the boot loader is asked for the update until it answers.

#include "update_rig.h"

class TestResetRoad : public QObject
{
    Q_OBJECT

private slots:
    void reset_pressed_in_time()
    {
        UpdateRig rig;
        QVERIFY(rig.add_module({QStringLiteral("--app-baud"), QStringLiteral("none"),
                                QStringLiteral("--reset-after"), QStringLiteral("3")}));
        rig.open_window();
        rig.choose_image(sample_image(700));
        const QString name = rig.module().link();
        rig.update_all();
        QVERIFY(wait_until([&] { return rig.probe->reset_active(); }, 30000));
        QCOMPARE(rig.probe->app_damaged(), 1);
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 40000));

        QCOMPARE(rig.probe->log_bodies(),
                 QStringList({QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"),
                              QStringLiteral("复位成功，开始升级......"),
                              name + QStringLiteral("对应设备升级成功")}));
        QCOMPARE(rig.probe->app_damaged(), 1);

        // Requests about every 100 ms until the boot loader came up.
        const QList<qint64> requests = arrival_times(rig.module(), update_request, 115200);
        QVERIFY2(requests.size() >= 20, qPrintable(QString::number(requests.size())));
        QList<qint64> gaps;
        for (int i = 1; i < requests.size(); ++i)
            gaps << requests[i] - requests[i - 1];
        std::sort(gaps.begin(), gaps.end());
        const qint64 median = gaps.at(gaps.size() / 2);
        QVERIFY2(median >= 60 && median <= 300, qPrintable(QString::number(median)));

        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);
    }

    void reset_never_pressed()
    {
        UpdateRig rig;
        QVERIFY(rig.add_module({QStringLiteral("--app-baud"), QStringLiteral("none")}));
        rig.open_window();
        rig.choose_image(sample_image(700));
        const QString name = rig.module().link();
        rig.update_all();
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 60000));

        QCOMPARE(rig.probe->log_bodies(),
                 QStringList({QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"),
                              name + QStringLiteral("传输失败")}));
        QCOMPARE(rig.probe->boxes.size(), 1);
        QVERIFY(rig.probe->has_box(QStringLiteral("warning"), QStringLiteral("警告"),
                                   QStringLiteral("复位超时，升级失败")));
        QVERIFY(rig.probe->update_button()->isEnabled());
        QVERIFY(!rig.probe->port()->isOpen());
        QVERIFY(!rig.probe->image_open());
        QCOMPARE(rig.probe->current_port(), 0);
        QCOMPARE(countOccurrences(rig.module().received(115200), update_request), 101);
        QCOMPARE(countOccurrences(rig.module().received(), update_request), 101);
    }
};

QTEST_MAIN(TestResetRoad)
#include "test_update_reset_road.moc"
