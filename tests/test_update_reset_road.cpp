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
        // The label under the port's box names the module the prompt means.
        QCOMPARE(rig.probe->progress_label(0)->text(), name + QStringLiteral(": APP已经被破坏，请在10秒内点击复位按钮"));
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 40000));

        QCOMPARE(rig.probe->log_bodies(),
                 QStringList({QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"),
                              QStringLiteral("复位成功，开始升级......"),
                              name + QStringLiteral("对应设备升级成功")}));
        QCOMPARE(rig.probe->app_damaged(), 1);

        // Requests repeated on the 100 ms tick until the boot loader came up:
        // never faster than the tick, never more than the bound.
        const QList<qint64> requests = arrival_times(rig.module(), update_request, 115200);
        QVERIFY2(requests.size() >= 2 && requests.size() <= 101, qPrintable(QString::number(requests.size())));
        const qint64 mean_gap = (requests.last() - requests.first()) / (requests.size() - 1);
        QVERIFY2(mean_gap >= 80, qPrintable(QString::number(mean_gap)));

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
        QVERIFY(rig.probe->progress_label(0)->text().isEmpty()); // the prompt went with the attempt
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
