// One port's update engine without a window: the image sent as it was
// read, replies read in batches, the start character crossing block
// 1, non-regular images, a port lost during the handshake, the reasons a
// port does not open, and a parallel run of several modules.

#include "engine/update_run.h"
#include "handed_over.h"
#include "serial/serial_port.h"
#include "sim_harness.h"

#include <QSignalSpy>
#include <sys/stat.h>

namespace {

const QByteArray two_cans(2, '\x18');

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + 17) & 0xFF);
    return data;
}

QString write_file(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(data);
    return file.fileName();
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    // The port sends the bytes it read when it began, whole, however the
    // file changes during the transfer.
    void image_rewritten_during_the_transfer_is_sent_as_read()
    {
        for (const int size_after : {64 * 1024 / 5, 64 * 1024 + 500}) {
            HandedOver rig;
            const QByteArray image = pattern(64 * 1024);
            QVERIFY(rig.set_up(image, true));
            rig.pty.send("C");
            QByteArray frame = rig.expect(133);
            QFile file(rig.dir.filePath(QStringLiteral("image.bin")));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(pattern(size_after).mid(7) + "changed");
            file.close();
            QByteArray blocks;
            while (frame.size() == 133) {
                blocks += frame.mid(3, 128);
                rig.pty.send(QByteArray(1, ack));
                frame = rig.expect(frame.size());
            }
            QCOMPARE(frame, QByteArray(1, '\x04'));
            rig.pty.send(QByteArray(1, ack));
            QVERIFY(wait_until([&] { return rig.ended; }, 5000));
            QCOMPARE(rig.result, PortResult::success);
            QCOMPARE(blocks, image);
            QCOMPARE(rig.update->image_sent()->bytes, image);
        }
    }

    void ack_of_the_eot_with_a_banner_is_success()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(pattern(128), true));
        rig.pty.send("C");
        QCOMPARE(rig.expect(133).size(), 133);
        rig.pty.send(QByteArray(1, ack));
        QCOMPARE(rig.expect(1), QByteArray(1, '\x04'));
        rig.pty.send(QByteArray("\x06\r\nBOOT OK\r\n"));
        QVERIFY(wait_until([&] { return rig.ended; }, 2000));
        QCOMPARE(rig.result, PortResult::success);
        QVERIFY(rig.pty.receive(1, 100).isEmpty()); // one EOT only
    }

    void stale_start_character_with_an_ack_moves_on()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(pattern(256), true)); // the clock stands: a stall would never end
        rig.pty.send("C");
        const QByteArray first = rig.expect(133);
        rig.pty.send(QByteArray("\x06" "C"));
        const QByteArray second = rig.expect(133);
        QCOMPARE(second.size(), 133);
        QCOMPARE(quint8(second.at(1)), quint8(2));
        QVERIFY(first != second);
    }

    void start_character_crossing_block_one_is_not_an_answer()
    {
        HandedOver rig;
        QVERIFY(rig.set_up(pattern(300), true));
        rig.pty.send("C");
        QCOMPARE(rig.expect(133).size(), 133);
        rig.pty.send("C"); // sent before the receiver saw block 1: no second copy
        QVERIFY(rig.read_again(2)); // read: any answer to it is written by now
        QVERIFY(rig.pty.receive(1, 300).isEmpty());
        rig.pty.send(QByteArray(1, ack));
        QCOMPARE(quint8(rig.expect(133).at(1)), quint8(2));
        rig.pty.send("C"); // after block 2 a lone 'C' is a fault
        QCOMPARE(rig.expect(2), two_cans);
        QVERIFY(wait_until([&] { return rig.ended; }, 2000));
        QCOMPARE(rig.reason, FailReason::unexpected_reply);
    }

    void only_regular_files_are_images()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("fifo.bin"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const QString &path : {fifo, QStringLiteral("/dev/zero"), dir.path()}) {
            PortUpdate update(QStringLiteral("ttyNONE"), path);
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(update.prepare_update(), 1);
            QVERIFY(clock.elapsed() < 2000);
            QVERIFY(!update.image_open());

            QSignalSpy lines(&update, &PortUpdate::log_line);
            QSignalSpy notices(&update, &PortUpdate::notice);
            QSignalSpy ends(&update, &PortUpdate::finished);
            update.send_file();
            QCOMPARE(ends.count(), 1);
            QCOMPARE(ends.first().at(1).value<FailReason>(), FailReason::image_unreadable);
            QCOMPARE(lines.first().first().toString(), QStringLiteral("ttyNONE打开升级文件失败"));
            QCOMPARE(notices.first().at(2).toString(), QStringLiteral("打开升级文件失败"));
        }
    }

    void port_lost_during_the_handshake_fails_at_once()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        UpdateOptions options;
        options.open_pause_ms = 0;
        PortUpdate update(pty.slave(), write_file(dir, QStringLiteral("a.bin"), pattern(300)), options);
        QSignalSpy ends(&update, &PortUpdate::finished);
        QSignalSpy lines(&update, &PortUpdate::log_line);
        QCOMPARE(update.prepare_update(), 0);
        update.get_scan_result(true, QStringLiteral("115200"), 0, 0);
        QByteArray heard;
        QVERIFY(wait_until([&] { return (heard += pty.receive(3, 10)).contains("+++"); }, 3000));
        pty.close_master();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(wait_until([&] { return ends.count() == 1; }, 5000));
        QVERIFY(clock.elapsed() < 3000); // not after the ten seconds of the reset wait
        QCOMPARE(ends.first().at(1).value<FailReason>(), FailReason::port_lost);
        QCOMPARE(lines.last().first().toString(), pty.slave() + QStringLiteral("对应设备升级失败"));
        QVERIFY(!update.running());
    }

    void port_opened_at_the_found_rate()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        const QString image = write_file(dir, QStringLiteral("a.bin"), pattern(10));
        for (const auto &[rate, expected] : {std::pair<const char *, int>{"14400", 14400}, {"1234", 9600}}) {
            UpdateOptions options;
            options.open_pause_ms = 0;
            PortUpdate update(pty.slave(), image, options);
            QCOMPARE(update.prepare_update(), 0);
            update.get_scan_result(true, QString::fromLatin1(rate), 0, 0);
            QVERIFY(update.port() && update.port()->isOpen());
            QCOMPARE(update.port()->baudRate(), expected);
        }
    }

    void reasons_a_port_does_not_open()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        const QString image = write_file(dir, QStringLiteral("a.bin"), pattern(10));
        SerialPort holder(pty.slave());
        QVERIFY(holder.open());
        const QString missing = dir.filePath(QStringLiteral("ttyGONE"));
        for (const auto &[port, reason] : {std::pair<QString, FailReason>{pty.slave(), FailReason::port_busy},
                                           {missing, FailReason::no_such_port}}) {
            UpdateOptions options;
            options.explain_open_failure = true;
            PortUpdate update(port, image, options);
            QSignalSpy ends(&update, &PortUpdate::finished);
            QSignalSpy notices(&update, &PortUpdate::notice);
            update.send_file();
            QVERIFY(wait_until([&] { return ends.count() == 1; }, 5000));
            QCOMPARE(reason_code(ends.first().at(1).value<FailReason>()), reason_code(reason));
            QCOMPARE(notices.count(), 1);
            QCOMPARE(notices.first().at(1).toString(), QStringLiteral("Serial port failed to open"));
        }
    }

    void module_batching_its_replies_is_updated()
    {
        // A boot loader that repeats its start character every 20 ms (one
        // crosses block 1), sends a stale 'C' with the ACK of block 2, and
        // its banner with the ACK of the EOT.
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("115200"), QStringLiteral("--start-repeat"),
                       QStringLiteral("20"), QStringLiteral("--ack-extra"), QStringLiteral("2:C"),
                       QStringLiteral("--eot-extra"), QStringLiteral("\\r\\nBOOT OK\\r\\n")});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QByteArray image = pattern(5000);
        PortUpdate update(sim.link(), write_file(dir, QStringLiteral("image.bin"), image));
        QSignalSpy ends(&update, &PortUpdate::finished);
        update.send_file();
        QVERIFY(wait_until([&] { return ends.count() == 1; }, 60000));
        QCOMPARE(ends.first().at(0).value<PortResult>(), PortResult::success);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.outData(), image);
        QVERIFY(sim.result().value(QStringLiteral("complete")).toBool());
    }

    void parallel_run_of_four_modules_one_cancelling()
    {
        QList<std::shared_ptr<SimModule>> sims;
        QStringList ports;
        for (int i = 0; i < 4; ++i) {
            QStringList args = {QStringLiteral("--app-baud"), QStringLiteral("115200")};
            if (i == 2)
                args << QStringLiteral("--can-block") << QStringLiteral("5");
            sims << std::make_shared<SimModule>(args);
            QVERIFY(sims.last()->start());
            ports << sims.last()->link();
        }
        QTemporaryDir dir;
        const QByteArray image = pattern(20000);
        RunOptions options;
        options.parallel = true;
        UpdateRun run(ports, write_file(dir, QStringLiteral("image.bin"), image), options);
        QStringList lines;
        QMap<QString, PortResult> results;
        QStringList started;
        connect(&run, &UpdateRun::log_line, this, [&](const QString &, const QString &body) { lines << body; });
        connect(&run, &UpdateRun::attempt_started, this, [&](const QString &port) { started << port; });
        connect(&run, &UpdateRun::port_finished, this,
                [&](const QString &port, PortResult result) { results.insert(port, result); });
        QSignalSpy finished(&run, &UpdateRun::finished);
        run.start();
        QCOMPARE(started, ports); // all at once, before any has ended
        QVERIFY(wait_until([&] { return finished.count() == 1; }, 90000));

        QCOMPARE(results.size(), 4);
        for (int i = 0; i < 4; ++i) {
            const bool cancels = i == 2;
            QCOMPARE(results.value(ports[i]), cancels ? PortResult::failure : PortResult::success);
            QCOMPARE(lines.count(ports[i] + (cancels ? QStringLiteral("对应设备升级失败") : QStringLiteral("对应设备升级成功"))), 1);
            // Every line of a parallel run names its port.
            QVERIFY(sims[i]->waitForFinished(5000) || cancels);
            if (!cancels)
                QCOMPARE(sims[i]->outData(), image);
        }
        for (const QString &line : lines)
            QVERIFY2(std::any_of(ports.cbegin(), ports.cend(), [&](const QString &port) { return line.contains(port); }),
                     qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "test_engine.moc"
