// Checks of the simulated module where a fault in it would hide a fault in the tool.

#include "sim_harness.h"

#include <QCryptographicHash>
#include <QSerialPort>
#include <QtTest>
#include <chrono>

using namespace std::chrono_literals;

namespace {

const char ACK = 0x06;
const char NAK = 0x15;
const char EOT = 0x04;
const char CAN = 0x18;

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

// Never ends in the 1A padding byte, so outData() gives it back whole.
QByteArray testImage(int size)
{
    QByteArray data;
    for (int i = 0; i < size; ++i)
        data += char((i * 31 + i / 128) & 0xff);
    if (data.endsWith('\x1a'))
        data[data.size() - 1] = 'x';
    return data;
}

QString sha256(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// Sends an image the way a tool would: the first ACK, NAK or CAN in the
// answer decides, 'C' is skipped, anything else or silence means "send again";
// what is left of an answer is dropped before the next frame.
struct PtySender {
    int frames = 0;
    int eots = 0;
    bool eotAcknowledged = false;
    bool cancelled = false;
    int timeoutMs = 500;

    // 0 on silence or noise, -1 once the port failed.
    int awaitAnswer(QSerialPort& port)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            QByteArray got = readFor(port, timeoutMs - int(timer.elapsed()), 1);
            if (port.error() == QSerialPort::ResourceError)
                return -1;
            for (char c : got) {
                if (c == ACK || c == NAK || c == CAN)
                    return c;
                if (c != 'C')
                    return 0;
            }
        }
        return 0;
    }

    int exchange(QSerialPort& port, const QByteArray& out)
    {
        port.readAll();
        if (!writeAll(port, out))
            return -1;
        return awaitAnswer(port);
    }

    void send(QSerialPort& port, const QByteArray& data)
    {
        if (!readFor(port, 3000, 1).contains('C'))
            return;
        for (int block = 0; block * 128 < data.size(); ++block) {
            QByteArray frame = crcBlock(quint8(block + 1), data.mid(block * 128, 128));
            int answer = 0;
            for (int tries = 0; answer != ACK && tries < 20; ++tries) {
                ++frames;
                answer = exchange(port, frame);
                if (answer < 0)
                    return;
                if (answer == CAN) {
                    cancelled = true;
                    return;
                }
            }
            if (answer != ACK)
                return;
        }
        for (int tries = 0; tries < 3 && !eotAcknowledged; ++tries) {
            ++eots;
            eotAcknowledged = exchange(port, QByteArray(1, EOT)) == ACK;
        }
    }
};

// "kind@block" of every fault the simulator recorded, in order.
QStringList faultEvents(const SimModule& sim)
{
    QStringList list;
    for (const QJsonObject& r : sim.events("fault")) {
        list << QString("%1@%2%3").arg(r.value("kind").toString()).arg(r.value("block").toInt())
                    .arg(r.value("frame").toString() == QLatin1String("eot") ? "eot" : "");
    }
    return list;
}

// Names of the events recorded, in order.
QStringList eventNames(const SimModule& sim)
{
    QStringList list;
    for (const QJsonObject& r : sim.records()) {
        if (r.contains("event"))
            list << r.value("event").toString();
    }
    return list;
}

// Frames (told apart by the reads between them) that met one of these faults.
int framesHitBy(const SimModule& sim, const QStringList& kinds)
{
    int count = 0;
    bool hit = false;
    for (const QJsonObject& r : sim.records()) {
        if (r.value("dir").toString() == QLatin1String("rx")) {
            count += hit;
            hit = false;
        } else if (r.value("event").toString() == QLatin1String("fault")
                   && r.value("frame").toString() == QLatin1String("block")
                   && kinds.contains(r.value("kind").toString())) {
            hit = true;
        }
    }
    return count + hit;
}

QList<QByteArray> txWrites(const SimModule& sim)
{
    QList<QByteArray> list;
    for (const QJsonObject& r : sim.records()) {
        if (r.value("dir").toString() == QLatin1String("tx"))
            list << QByteArray::fromHex(r.value("hex").toString().toLatin1());
    }
    return list;
}

} // namespace

class TestModuleSim : public QObject {
    Q_OBJECT

private slots:
    void naksBadCrcAndAcksGoodBlock();
    void answersOnlyAtApplicationRate();
    void seesCustomRate();
    void duplicateBlockIsAcknowledgedAndDropped();
    void startCharacterRepeatsUntilTheFirstBlock();
    void givesUpWhenTheToolFallsSilent();
    void extrasArriveInOneReadWithTheirAck();
    void strictLineGarblesACommandCutOffByARateChange();
    void wrongRateGarbageAnswersOnlyTheOkTrigger();
    void randomFaultsAreRecordedAndTheResultTellsTheTruth();
    void randomCancelAndVanishEndTheTransfer();
    void theNewApplicationAnswersWithTheVersionItReceived();
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
    // Read at the wrong rate whenever the module gets round to it: the port keeps that rate till then.
    QTRY_COMPARE_WITH_TIMEOUT(sim.received(115200), QByteArray("+++"), 30000);

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

void TestModuleSim::duplicateBlockIsAcknowledgedAndDropped()
{
    SimModule sim({ "--boot-now", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));
    QVERIFY(readFor(port, 2500, 1).contains('C'));

    const QByteArray image = testImage(200);
    for (const QByteArray& frame : { crcBlock(1, image.left(128)), crcBlock(1, image.left(128)),
                                     crcBlock(2, image.mid(128)), QByteArray(1, EOT) }) {
        QVERIFY(writeAll(port, frame));
        QCOMPARE(answer(port), ACK);
    }
    QVERIFY(sim.waitForEvent("result", 5000));
    QCOMPARE(sim.outData(), image);

    const QJsonObject result = sim.result();
    QCOMPARE(result.value("end").toString(), QString("complete"));
    QVERIFY(result.value("complete").toBool());
    QVERIFY(result.value("out_written").toBool());
    QCOMPARE(result.value("blocks").toInt(), 2);
    QCOMPARE(result.value("bytes").toInt(), 256);
    QCOMPARE(result.value("sha256").toString(), sha256(image.leftJustified(256, '\x1a')));
    QCOMPARE(result.value("sha256_trimmed").toString(), sha256(image));
    QCOMPARE(result.value("fault_count").toInt(), 0);
    QCOMPARE(result.value("faults").toObject().size(), 8);
    QCOMPARE(eventNames(sim), (QStringList { "boot", "xmodem", "first_block", "eot", "done", "result" }));
}

void TestModuleSim::startCharacterRepeatsUntilTheFirstBlock()
{
    SimModule sim({ "--boot-now", "--start-repeat", "20", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));
    // At the default second apart, ten would take nine seconds.
    QByteArray starts = readFor(port, 5000, 10);
    QVERIFY2(starts.size() >= 10, starts.constData());
    QCOMPARE(starts, QByteArray(starts.size(), 'C'));

    QVERIFY(writeAll(port, crcBlock(1, "one")));
    QByteArray reply;
    while (!reply.endsWith(ACK) && reply.size() < 100) {
        QByteArray got = readFor(port, 3000, 1);
        QVERIFY(!got.isEmpty());
        reply += got;
    }
    QCOMPARE(reply, QByteArray(reply.size() - 1, 'C') + ACK); // a 'C' may cross the block
    QCOMPARE(readFor(port, 200), QByteArray());
}

void TestModuleSim::givesUpWhenTheToolFallsSilent()
{
    SimModule sim({ "--boot-now", "--rx-give-up", "0.5", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));
    // Before the first block the receiver only waits.
    QByteArray waiting = readFor(port, 1200);
    QVERIFY(!waiting.isEmpty());
    QCOMPARE(waiting, QByteArray(waiting.size(), 'C'));

    QVERIFY(writeAll(port, crcBlock(1, "one")));
    QCOMPARE(answer(port), ACK);
    QCOMPARE(readFor(port, 5000, 2), QByteArray(2, CAN));
    QVERIFY(sim.waitForEvent("result", 2000));
    const QJsonObject result = sim.result();
    QCOMPARE(result.value("end").toString(), QString("rx_gave_up"));
    QVERIFY(!result.value("complete").toBool());
    QVERIFY(!result.value("out_written").toBool());
    QCOMPARE(result.value("blocks").toInt(), 1);
    QCOMPARE(eventNames(sim), (QStringList { "boot", "xmodem", "first_block", "rx_gave_up", "result" }));
    QVERIFY(!QFile::exists(sim.outPath()));

    // It stopped receiving: a late block gets no answer.
    QVERIFY(writeAll(port, crcBlock(2, "two")));
    QCOMPARE(readFor(port, 300), QByteArray());
}

void TestModuleSim::extrasArriveInOneReadWithTheirAck()
{
    SimModule sim({ "--boot-now", "--ack-extra", "2:C", "--eot-extra", "\\r\\nBOOT OK\\r\\n", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));
    QVERIFY(readFor(port, 2500, 1).contains('C'));

    const QList<QPair<QByteArray, QByteArray>> exchanges {
        { crcBlock(1, "one"), "\x06" },
        { crcBlock(2, "two"), "\x06" "C" },
        { crcBlock(2, "two"), "\x06" }, // only the first ACK of the block carries it
        { QByteArray(1, EOT), "\x06\r\nBOOT OK\r\n" },
    };
    for (const auto& exchange : exchanges) {
        QVERIFY(writeAll(port, exchange.first));
        QVERIFY(port.waitForReadyRead(3000));
        QByteArray got = port.readAll();
        if (got.size() < exchange.second.size())
            got += readFor(port, 1000, exchange.second.size() - got.size());
        QCOMPARE(got, exchange.second);
    }
    QVERIFY(sim.waitForEvent("result", 3000));
    QCOMPARE(txWrites(sim).mid(1),
             (QList<QByteArray> { "\x06", "\x06" "C", "\x06", "\x06\r\nBOOT OK\r\n" }));
    QVERIFY(sim.result().value("complete").toBool());
}

void TestModuleSim::strictLineGarblesACommandCutOffByARateChange()
{
    SimModule sim({ "--app-baud", "9600", "--max-seconds", "60" });
    sim.addArguments({ "--strict-line", sim.journalPath() });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 9600));
    QFile journal(sim.journalPath());
    QVERIFY(journal.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
    const auto ns = [](double ms) { return qint64(ms * 1e6); };
    // The monotonic clock the simulator and the tool's line journal keep.
    const auto nowNs = [] { return qint64(std::chrono::steady_clock::now().time_since_epoch() / 1ns); };
    const QByteArray reboot = "AT+Reboot\r";
    const qint64 byteNs = 10 * 1000000000LL / 9600;

    // The journal, not the moment the module reads, places the bytes: each
    // case is written into it before its bytes go out, after the line time
    // of the case before, with the change to 115200 baud changeNs after it.
    qint64 lineFree = nowNs();
    const auto send = [&](const QByteArray& bytes, qint64 changeNs) {
        const qint64 at = std::max(nowNs(), lineFree);
        lineFree = at + bytes.size() * byteNs;
        const QByteArray entries = "r " + QByteArray::number(at) + " 9600\nw " + QByteArray::number(at) + ' '
            + QByteArray::number(bytes.size()) + "\nr " + QByteArray::number(at + changeNs) + " 115200\n";
        return journal.write(entries) == entries.size() && writeAll(port, bytes);
    };
    // At 9600 baud the command holds the line for 10.4 ms; a change 1 ms
    // after the write cuts all of it.
    QVERIFY(send(reboot, ns(1)));
    QVERIFY(sim.waitForEvent("garbled", 30000));
    QJsonObject garbled = sim.events("garbled").last();
    QCOMPARE(garbled.value("bytes").toInt(), reboot.size());
    QCOMPARE(garbled.value("baud").toInt(), 9600);
    QCOMPARE(garbled.value("new_baud").toInt(), 115200);

    // A change 50.5 ms into 210 bytes spares the 48 that had left the line.
    const QByteArray padded = QByteArray(200, ' ') + reboot;
    QVERIFY(send(padded, ns(50.5)));
    QTRY_COMPARE_WITH_TIMEOUT(sim.events("garbled").size(), 2, 30000);
    garbled = sim.events("garbled").last();
    QCOMPARE(garbled.value("bytes").toInt(), padded.size() - int(ns(50.5) / byteNs));

    // The rate kept until the command has left the line: heard, and the
    // module reboots. Only then is it sure that the two before went unheard.
    QVERIFY(send(reboot, reboot.size() * byteNs + ns(0.1)));
    QVERIFY(sim.waitForEvent("boot", 30000));
    const QStringList names = eventNames(sim);
    QCOMPARE(names.count("boot"), 1);
    QCOMPARE(names.count("garbled"), 2);
    QVERIFY(names.lastIndexOf("garbled") < names.indexOf("boot"));
    const QByteArray heard = sim.received(9600);
    QCOMPARE(heard.size(), reboot.size() + padded.size() + reboot.size());
    QVERIFY(heard.endsWith(reboot));
    for (int i = 0; i < reboot.size(); ++i)
        QVERIFY(heard[i] != reboot[i]);
    QCOMPARE(heard.mid(reboot.size(), 48), padded.left(48));
}

void TestModuleSim::wrongRateGarbageAnswersOnlyTheOkTrigger()
{
    SimModule sim({ "--app-baud", "9600", "--wrong-rate-garbage", "--max-seconds", "20" });
    QVERIFY(sim.start());
    QSerialPort port;
    QVERIFY(openPort(port, sim.link(), 115200));

    QVERIFY(writeAll(port, "AT\r"));
    QCOMPARE(readFor(port, 300), QByteArray());
    QVERIFY(writeAll(port, "+"));
    QVERIFY(writeAll(port, "++"));
    QByteArray garbage = readFor(port, 2000, 1);
    garbage += readFor(port, 100);
    QVERIFY2(garbage.size() >= 1 && garbage.size() <= 4, garbage.toHex().constData());
    QVERIFY(!garbage.contains('O') && !garbage.contains('K'));

    QVERIFY(port.setBaudRate(9600));
    QVERIFY(writeAll(port, "+++"));
    QCOMPARE(readFor(port, 2000, 6), QByteArray("\r\nOK\r\n"));
    // The record is written as the module goes; give it time under load.
    QTRY_COMPARE_WITH_TIMEOUT(txWrites(sim), (QList<QByteArray> { garbage, "\r\nOK\r\n" }), 5000);
}

void TestModuleSim::randomFaultsAreRecordedAndTheResultTellsTheTruth()
{
    const QByteArray image = testImage(30 * 128 - 5);
    QStringList previous;
    for (int run = 0; run < 2; ++run) {
        SimModule sim({ "--boot-now", "--fault-seed", "21", "--fault-nak", "0.1", "--fault-corrupt-rx", "0.1",
                        "--fault-corrupt-tx", "0.1", "--fault-dup-reply", "0.1", "--fault-stray-start", "0.1",
                        "--max-seconds", "30" });
        QVERIFY(sim.start());
        QSerialPort port;
        QVERIFY(openPort(port, sim.link(), 115200));
        PtySender sender;
        sender.timeoutMs = 2000; // no answer is lost here: only a busy machine would wait this long
        sender.send(port, image);
        QVERIFY(sim.waitForEvent("result", 5000));

        const QStringList faults = faultEvents(sim);
        QVERIFY(faults.size() >= 5);
        const QJsonObject result = sim.result();
        QCOMPARE(result.value("fault_count").toInt(), faults.size());
        const QJsonObject perKind = result.value("faults").toObject();
        int total = 0;
        for (const QString& kind : perKind.keys()) {
            QCOMPARE(perKind.value(kind).toInt(), faults.filter(QRegularExpression("^" + kind + "@")).size());
            total += perKind.value(kind).toInt();
        }
        QCOMPARE(total, faults.size());
        QCOMPARE(perKind.value("lose_reply").toInt(), 0);

        QVERIFY(result.value("complete").toBool());
        QCOMPARE(result.value("blocks").toInt(), 30);
        QCOMPARE(result.value("sha256").toString(), sha256(image.leftJustified(30 * 128, '\x1a')));
        QCOMPARE(sim.outData(), image);
        // Each NAK and each damaged answer to a block cost the sender one more frame.
        QCOMPARE(sender.frames, 30 + framesHitBy(sim, { "nak", "corrupt_rx", "corrupt_tx" }));
        if (run == 1)
            QCOMPARE(faults, previous);
        previous = faults;
    }
}

void TestModuleSim::randomCancelAndVanishEndTheTransfer()
{
    const QByteArray image = testImage(60 * 128);
    {
        SimModule sim({ "--boot-now", "--fault-seed", "2", "--fault-can", "0.1", "--max-seconds", "20" });
        QVERIFY(sim.start());
        QSerialPort port;
        QVERIFY(openPort(port, sim.link(), 115200));
        PtySender sender;
        sender.send(port, image);
        QVERIFY(sender.cancelled);
        QVERIFY(sim.waitForEvent("result", 3000));
        const QStringList faults = faultEvents(sim);
        QCOMPARE(faults.size(), 1);
        QVERIFY(faults[0].startsWith("can@"));
        const int block = faults[0].mid(4).toInt();
        QVERIFY(block > 1);
        QCOMPARE(eventNames(sim).mid(eventNames(sim).indexOf("fault")), (QStringList { "fault", "can", "result" }));
        QCOMPARE(txWrites(sim).last(), QByteArray(2, CAN));
        const QJsonObject result = sim.result();
        QCOMPARE(result.value("end").toString(), QString("can"));
        QVERIFY(!result.value("complete").toBool());
        QCOMPARE(result.value("blocks").toInt(), block - 1);
        QCOMPARE(result.value("sha256").toString(), sha256(image.left((block - 1) * 128)));
    }
    {
        SimModule sim({ "--boot-now", "--fault-seed", "2", "--fault-vanish", "0.1", "--max-seconds", "20" });
        QVERIFY(sim.start());
        QSerialPort port;
        QVERIFY(openPort(port, sim.link(), 115200));
        PtySender sender;
        sender.send(port, image);
        QVERIFY(!sender.cancelled && !sender.eotAcknowledged);
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitCode(), 3);
        QCOMPARE(eventNames(sim).mid(eventNames(sim).indexOf("fault")), (QStringList { "fault", "vanish", "result" }));
        const QJsonObject result = sim.result();
        QCOMPARE(result.value("end").toString(), QString("vanish"));
        QVERIFY(!result.value("complete").toBool());
        QCOMPARE(result.value("fault_count").toInt(), 1);
        QCOMPARE(result.value("faults").toObject().value("vanish").toInt(), 1);
        QVERIFY(!QFileInfo::exists(sim.link()));
    }
}

QTEST_GUILESS_MAIN(TestModuleSim)
#include "test_module_sim.moc"

void TestModuleSim::theNewApplicationAnswersWithTheVersionItReceived()
{
    const struct {
        const char* mode;
        QByteArray image;
        QByteArray expected; // the answer to the version command after the update
    } cases[] = {
        { "app", "abc TESSIK-VERSION:3.1-b\r\nrest", "\r\nOK\r\n\r\n3.1-b\r\nOK\r\n" },
        { "app", QByteArray("TESSIK-VERSION:7", 16) + QByteArray(1, '\0') + "x", "\r\nOK\r\n\r\n7\r\nOK\r\n" },
        { "app", "no marker", "\r\nOK\r\n\r\nunknown\r\nOK\r\n" },
        { "dead", "TESSIK-VERSION:3.1", "" },
    };
    for (const auto& test : cases) {
        SimModule sim({ "--boot-now", "--after-update", test.mode, "--after-update-seconds", "2", "--version-command",
                        "AT+VER?\\r", "--id-command", "AT+ID?\\r" });
        QVERIFY(sim.start());
        QSerialPort port;
        QVERIFY(openPort(port, sim.link(), 115200));
        PtySender sender;
        sender.send(port, test.image);
        QVERIFY(sender.eotAcknowledged);
        QVERIFY(writeAll(port, "+++") && writeAll(port, "AT+VER?\r"));
        QCOMPARE(readFor(port, 800, test.expected.isEmpty() ? INT_MAX : test.expected.size()), test.expected);
        if (!test.expected.isEmpty()) {
            QVERIFY(writeAll(port, "AT+ID?\r"));
            QCOMPARE(readFor(port, 800, 21), QByteArray("\r\nTESSIK-SIM-0001\r\nOK\r\n"));
        }
        QVERIFY(sim.waitForFinished(6000));
        QCOMPARE(sim.exitCode(), 0);
    }
}
