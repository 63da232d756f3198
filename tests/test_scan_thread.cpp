// The baud-rate scan against the simulated module.

#include "sim_harness.h"
#include "wait_until.h"
#include "serial/scan_thread.h"
#include "serial/serial_port.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// The rates at which "+++" reached the module, in order.
struct Scan
{
    QList<QVariant> result;
    bool port_free_at_report = false;
};

// Runs one scan; at the report, checks that the thread let go of the port.
Scan run_scan(const QString &port, quint8 mode, int timeout_ms)
{
    Scan scan;
    Thread thread(port, mode);
    QObject receiver;
    QObject::connect(&thread, &Thread::scan_result, &receiver,
                     [&](bool found, QString rate, quint8 open_failed, quint8 echoed) {
                         scan.result = {found, rate, int(open_failed), int(echoed)};
                         SerialPort probe(port);
                         scan.port_free_at_report = probe.open();
                     });
    thread.start();
    wait_until([&] { return !scan.result.isEmpty(); }, timeout_ms);
    thread.request_stop(); // a scan that outlived its bound must not outlive its thread object
    thread.wait();
    return scan;
}

} // namespace

class TestScanThread : public QObject
{
    Q_OBJECT

private slots:
    void found_at_115200_on_the_first_attempt()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("115200")});
        sim.useToolJournal();
        QVERIFY(sim.start());
        const Scan scan = run_scan(sim.link(), 0, 10000);
        QCOMPARE(scan.result, (QList<QVariant>{true, QStringLiteral("115200"), 0, 0}));
        QVERIFY(scan.port_free_at_report);
        QCOMPARE(sim.escapeRates(), QList<int>({115200}));
    }

    void found_at_57600_on_the_sixth_attempt()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("57600")});
        sim.useToolJournal();
        QVERIFY(sim.start());
        const Scan scan = run_scan(sim.link(), 5, 20000);
        QCOMPARE(scan.result, (QList<QVariant>{true, QStringLiteral("57600"), 0, 5}));
        QCOMPARE(sim.escapeRates(), QList<int>({115200, 9600, 14400, 19200, 38400, 57600}));
    }

    void silent_module()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("none")});
        sim.useToolJournal();
        QVERIFY(sim.start());
        const Scan scan = run_scan(sim.link(), 9, 20000);
        QCOMPARE(scan.result, (QList<QVariant>{false, QStringLiteral("115200"), 0, 9}));
        QVERIFY(scan.port_free_at_report);
        QCOMPARE(sim.escapeRates().size(), 6);
    }

    void held_port_is_not_tried()
    {
        SimModule sim({});
        sim.useToolJournal();
        QVERIFY(sim.start());
        SerialPort holder(sim.link());
        QVERIFY(holder.open());
        const Scan scan = run_scan(sim.link(), 3, 5000);
        QCOMPARE(scan.result, (QList<QVariant>{false, QStringLiteral("115200"), 1, 3}));
        QVERIFY(sim.received().isEmpty()); // no rate was tried
    }

    void garbage_at_a_wrong_rate_wins()
    {
        // A module at 57600 whose UART answers "+++" at other rates with
        // framing garbage: any reply wins, so a wrong rate is taken.
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("57600"), QStringLiteral("--wrong-rate-garbage")});
        sim.useToolJournal();
        QVERIFY(sim.start());
        const Scan scan = run_scan(sim.link(), 0, 15000);
        QCOMPARE(scan.result.size(), 4);
        QCOMPARE(scan.result.at(0).toBool(), true);
        // Normally the first rate; a module slow to answer lets its garbage
        // land in the next attempt. Never the module's own rate, the last one.
        const QString picked = scan.result.at(1).toString();
        QVERIFY2(picked != QStringLiteral("57600"), qPrintable(picked));
        QCOMPARE(sim.escapeRates().last(), picked.toInt());
    }

    void a_stopped_scan_ends_between_its_waits_without_a_report()
    {
        SimModule sim({QStringLiteral("--app-baud"), QStringLiteral("none")});
        sim.useToolJournal();
        QVERIFY(sim.start());
        Thread thread(sim.link(), 0);
        bool reported = false;
        QObject::connect(&thread, &Thread::scan_result, [&] { reported = true; });
        thread.start();
        QTRY_VERIFY_WITH_TIMEOUT(!sim.escapeRates().isEmpty(), 30000); // in its wait for the first reply
        QElapsedTimer clock;
        clock.start();
        QVERIFY(thread.stop_and_wait(5000));
        QVERIFY(clock.elapsed() < 4000); // well before the 9.6 s of a whole scan
        QCoreApplication::processEvents();
        QVERIFY(!reported);
        QVERIFY(sim.escapeRates().size() < 6);
    }
};

QTEST_MAIN(TestScanThread)
#include "test_scan_thread.moc"
