// Updates that cannot start: the port held by another program, the window's
// port operations on bad entries, and closing the window during a scan or
// a transfer.

#include "pty_pair.h"
#include "tools/line_rate.h"
#include "update_rig.h"

#include <QProcess>

namespace {
const QString failed_title = QStringLiteral("Serial port failed to open");
const QString failed_text =
    QStringLiteral("Serial port failed to open \n the serial device does not exist or has been occupied");
} // namespace

class TestUpdateEnds : public QObject
{
    Q_OBJECT

private slots:
    void port_held_by_another_program()
    {
        UpdateRig rig;
        QVERIFY(rig.add_module({}));
        rig.open_window();
        rig.choose_image(sample_image(300));
        SerialPort holder(rig.module().link());
        QVERIFY(holder.open());

        rig.update_all();
        QVERIFY(!rig.probe->update_button()->isEnabled());
        QVERIFY(wait_until([&] { return rig.probe->update_button()->isEnabled(); }, 10000));
        QCOMPARE(rig.probe->boxes.size(), 1);
        QVERIFY(rig.probe->has_box(QStringLiteral("critical"), failed_title, failed_text));
        QVERIFY(rig.probe->log_text().isEmpty());
        QCOMPARE(rig.probe->current_port(), 0);
        QVERIFY(rig.probe->idle());
        QVERIFY(rig.module().received().isEmpty());

        // The next press works once the port is free again.
        holder.close();
        rig.probe->send_file();
        QVERIFY(wait_until([&] { return rig.probe->xmodem_active() || rig.probe->idle(); }, 15000));
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 20000));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 1);
    }

    void closing_the_window_during_a_scan()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("none")});
        sim.useToolJournal(); // handed on to the window's process
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("image.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sample_image(100));
        file.close();

        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TESSIK_EXTRA_PORTS"), sim.link());
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(TESSIK_CLOSE_DURING_SCAN_PATH), {image, sim.link(), QStringLiteral("1500")});
        QVERIFY(app.waitForFinished(120000));
        // The scan of a silent module asks six rates, 1.6 s each; the window
        // closes 1.5 s into it, and closing stops it between its waits
        // instead of waiting for the rest.
        QVERIFY2(sim.escapeRates().size() < 6, qPrintable(QString::number(sim.escapeRates().size())));
        const QByteArray errors = app.readAllStandardError();
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QVERIFY2(!errors.contains("QThread: Destroyed"), errors.constData());
        QVERIFY2(!errors.contains("abort"), errors.constData());
    }

    // The module's receiver hears CAN CAN before the port closes.
    void closing_the_window_mid_transfer()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("115200"), QStringLiteral("--block-write"),
                       QStringLiteral("20")});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("image.bin"));
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sample_image(128 * 1000)); // 20 s of block writes
        file.close();
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TESSIK_EXTRA_PORTS"), sim.link());
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(TESSIK_CLOSE_DURING_SCAN_PATH),
                  {image, sim.link(), QStringLiteral("progress")}); // once the transfer has begun
        QVERIFY(app.waitForFinished(120000));
        QCOMPARE(app.exitCode(), 0);
        QVERIFY(wait_until([&] { return event_time(sim, QStringLiteral("tool_can")) >= 0; }, 10000));
        QVERIFY(event_time(sim, QStringLiteral("first_block")) >= 0);
    }
};

QTEST_MAIN(TestUpdateEnds)
#include "test_update_ends.moc"
