// Checks of the simulated module where a fault in it would hide a fault in the tool.

#include "sim_harness.h"

#include <QSerialPort>
#include <QtTest>

namespace {

const char ACK = 0x06;
const char NAK = 0x15;
const char EOT = 0x04;

quint16 crc16Xmodem(const QByteArray& data)
{
    quint16 crc = 0;
    for (char byte : data) {
        crc ^= quint16(quint8(byte) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray crcBlock(quint8 number, QByteArray data)
{
    data = data.leftJustified(128, '\x1a');
    quint16 crc = crc16Xmodem(data);
    QByteArray frame;
    frame += char(0x01);
    frame += char(number);
    frame += char(0xff - number);
    frame += data;
    frame += char(crc >> 8);
    frame += char(crc & 0xff);
    return frame;
}

bool openPort(QSerialPort& port, const QString& path, qint32 baud)
{
    port.setPortName(path);
    return port.open(QIODevice::ReadWrite) && port.setBaudRate(baud) && port.setDataBits(QSerialPort::Data8)
        && port.setParity(QSerialPort::NoParity) && port.setStopBits(QSerialPort::OneStop)
        && port.setFlowControl(QSerialPort::NoFlowControl);
}

bool writeAll(QSerialPort& port, const QByteArray& data)
{
    return port.write(data) == data.size() && port.waitForBytesWritten(1000);
}

// Everything that arrives within ms, or until 'enough' bytes are in.
QByteArray readFor(QSerialPort& port, int ms, int enough = INT_MAX)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray got = port.readAll();
    while (got.size() < enough && timer.elapsed() < ms) {
        if (port.waitForReadyRead(qMax(1, int(ms - timer.elapsed()))))
            got += port.readAll();
    }
    return got;
}

// The receiver's next answer, skipping the start characters it repeats.
char answer(QSerialPort& port)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 3000) {
        QByteArray got = readFor(port, 3000 - int(timer.elapsed()), 1);
        got.replace('C', QByteArray());
        if (!got.isEmpty())
            return got.at(0);
    }
    return 0;
}

} // namespace

class TestModuleSim : public QObject {
    Q_OBJECT

private slots:
    void naksBadCrcAndAcksGoodBlock();
    void answersOnlyAtApplicationRate();
    void seesCustomRate();
};

void TestModuleSim::naksBadCrcAndAcksGoodBlock()
{
    SimModule sim({ "--boot-now", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));
    QVERIFY(readFor(port, 2500, 1).contains('C'));

    const QByteArray payload = "firmware block one";
    QByteArray damaged = crcBlock(1, payload);
    damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 0x01);
    QVERIFY(writeAll(port, damaged));
    QCOMPARE(answer(port), NAK);

    QVERIFY(writeAll(port, crcBlock(1, payload)));
    QCOMPARE(answer(port), ACK);
    QVERIFY(writeAll(port, QByteArray(1, EOT)));
    QCOMPARE(answer(port), ACK);

    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(sim.hasEvent("done"));
    QCOMPARE(sim.event("done").value("bytes").toInt(), 128);
    QCOMPARE(sim.outData(), payload);
}

void TestModuleSim::answersOnlyAtApplicationRate()
{
    SimModule sim({ "--app-baud", "9600", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));

    QVERIFY(writeAll(port, "+++"));
    QCOMPARE(readFor(port, 500), QByteArray());
    QCOMPARE(sim.received(115200), QByteArray("+++")); // it did read them, at the wrong rate

    QVERIFY(port.setBaudRate(9600));
    QVERIFY(writeAll(port, "+++"));
    QCOMPARE(readFor(port, 2000, 6), QByteArray("\r\nOK\r\n"));
    QCOMPARE(sim.received(9600), QByteArray("+++"));
}

void TestModuleSim::seesCustomRate()
{
    SimModule sim({ "--app-baud", "14400", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 14400));
    QCOMPARE(port.baudRate(), 14400);

    QVERIFY(writeAll(port, "+++"));
    QCOMPARE(readFor(port, 2000, 6), QByteArray("\r\nOK\r\n"));
    QCOMPARE(sim.received(14400), QByteArray("+++"));
    QCOMPARE(sim.received(), QByteArray("+++"));
}

QTEST_GUILESS_MAIN(TestModuleSim)
#include "test_module_sim.moc"
