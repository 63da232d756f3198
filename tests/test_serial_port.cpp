// The polling port class on a pseudo-terminal, in the test's thread (no
// event loop is ever run) and in a worker thread.

#include "pty_pair.h"
#include "sim_harness.h"
#include "serial/serial_port.h"
#include "tools/line_rate.h"

#include <QDir>
#include <QThread>
#include <QtTest>

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void starts_closed_with_the_initial_settings()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        SerialPort port(pty.slave());
        QVERIFY(!port.isOpen());
        char byte;
        QCOMPARE(port.read(&byte), -1);
        QVERIFY(port.readAll().isEmpty());
        port.flush(); // nothing to do while closed
        QVERIFY(port.open());
        QCOMPARE(port.baudRate(), 9600);
        QCOMPARE(lineRate(pty.master_fd()), 9600u);
    }

    void read_one_byte()
    {
        PtyPair pty;
        SerialPort port(pty.slave());
        QVERIFY(port.open());
        char byte = 0;

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(port.read(&byte), 0);
        QVERIFY2(clock.elapsed() < 1000, "an empty read must return after its short time-out");

        pty.send("OK");
        QThread::msleep(50);
        QCOMPARE(port.read(&byte), 1);
        QCOMPARE(byte, 'O');
        QCOMPARE(port.read(&byte), 1);
        QCOMPARE(byte, 'K');
        QCOMPARE(port.read(&byte), 0);
    }

    void read_all_without_event_loop()
    {
        PtyPair pty;
        SerialPort port(pty.slave());
        QVERIFY(port.open());
        QVERIFY(port.readAll().isEmpty());

        QByteArray sent;
        for (int i = 0; i < 600; ++i)
            sent.append(static_cast<char>(i * 13));
        pty.send(sent);
        QThread::msleep(100); // the bytes sit in the operating system meanwhile
        QCOMPARE(port.readAll(), sent);
        QVERIFY(port.readAll().isEmpty());
    }

    void read_all_in_a_worker_thread()
    {
        PtyPair pty;
        QByteArray got;
        bool opened = false;
        QThread *worker = QThread::create([&] {
            SerialPort port(pty.slave());
            opened = port.open();
            pty.send("+++ reply");
            QThread::msleep(100);
            got = port.readAll();
        });
        worker->start();
        QVERIFY(worker->wait(5000));
        delete worker;
        QVERIFY(opened);
        QCOMPARE(got, QByteArray("+++ reply"));
    }

    void write_then_flush()
    {
        PtyPair pty;
        SerialPort port(pty.slave());
        QVERIFY(port.open());
        port.setBaudRate(9600);
        const QByteArray command("AT#UpdateFW\r\0\0", 14);
        port.write(command);
        port.flush();
        QCOMPARE(pty.receive(14), command);

        // A pseudo-terminal drains at once; flush still waits the line time
        // of what was written: 96 bytes at 9600 baud take 100 ms.
        const QByteArray burst(96, '\x5a');
        QElapsedTimer clock;
        clock.start();
        port.write(burst);
        port.flush();
        QVERIFY2(clock.elapsed() >= 95, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(pty.receive(96).size(), 96);
    }

    void rate_changed_after_flush_spares_the_command()
    {
        // The module hears every byte at the rate the port's journal says it
        // was sent at: a rate change before "AT+Reboot\r" has left the line
        // garbles it, whenever the module gets round to reading it.
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("9600")});
        sim.useToolJournal();
        QVERIFY(sim.start());
        SerialPort port(sim.link());
        QVERIFY(port.open());
        port.setBaudRate(9600);
        port.applyLineSettings();
        port.write(QByteArray("AT+Reboot\r"));
        port.flush();
        port.setBaudRate(115200);
        QVERIFY(sim.waitForEvent(QStringLiteral("boot"), 30000));
        QVERIFY(!sim.hasEvent(QStringLiteral("garbled")));
        QCOMPARE(sim.received(9600), QByteArray("AT+Reboot\r"));
    }

    void open_missing_and_held()
    {
        SerialPort missing(QStringLiteral("/nonexistent/ttyNOPE"));
        QVERIFY(!missing.open());
        QVERIFY(!missing.isOpen());

        PtyPair pty;
        SerialPort first(pty.slave());
        QVERIFY(first.open());
        SerialPort second(pty.slave());
        QVERIFY(!second.open());
        first.close();
        QVERIFY(second.open());
    }

    void all_rates_including_14400()
    {
        PtyPair pty;
        SerialPort port(pty.slave());
        QVERIFY(port.open());
        for (int rate : {9600, 14400, 19200, 38400, 57600, 115200}) {
            QVERIFY(port.setBaudRate(rate));
            QCOMPARE(lineRate(pty.master_fd()), unsigned(rate));
        }
        QVERIFY(is_supported_rate(14400));
        QVERIFY(!is_supported_rate(1234));
    }

    // The timer of the adapter a link leads to; only a plain number counts.
    void latency_timer_of_a_linked_adapter()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sys/bus/usb-serial/devices/ttyUSB7")));
        QFile device(dir.filePath(QStringLiteral("ttyUSB7")));
        QVERIFY(device.open(QIODevice::WriteOnly));
        const QString link = dir.filePath(QStringLiteral("usb-FTDI_FT232R_A5028-if00-port0"));
        QVERIFY(QFile::link(device.fileName(), link));
        qputenv("TESSIK_SYSFS_ROOT", dir.filePath(QStringLiteral("sys")).toUtf8());
        const QString timer = dir.filePath(QStringLiteral("sys/bus/usb-serial/devices/ttyUSB7/latency_timer"));
        const QList<QPair<QByteArray, int>> table{{"16\n", 16}, {"1", 1}, {"", -1}, {"x16\n", -1}, {"256\n", -1}};
        for (const auto &row : table) {
            QFile file(timer);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(row.first) == row.first.size());
            file.close();
            QCOMPARE(adapter_latency_timer_ms(link), row.second);
        }
        QCOMPARE(adapter_latency_timer_ms(dir.filePath(QStringLiteral("no-such-port"))), -1);
        qunsetenv("TESSIK_SYSFS_ROOT");
    }

    void vanished_device_is_reported()
    {
        PtyPair pty;
        SerialPort port(pty.slave());
        QVERIFY(port.open());
        QVERIFY(!port.failed());
        pty.close_master();
        char byte;
        QCOMPARE(port.read(&byte), -1);
        QVERIFY(port.failed());
        QVERIFY(port.readAll().isEmpty());
        port.close();
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serial_port.moc"
