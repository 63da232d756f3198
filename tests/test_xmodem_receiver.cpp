// The simulated boot loader's XMODEM receiver, driven in-process on a virtual
// clock: framing, timers, extras and the random faults, without a pty.

#include "xmodem_receiver.h"

#include <QtTest>

namespace {

const char SOH = 0x01;
const char EOT = 0x04;
const char ACK = 0x06;
const char NAK = 0x15;
const char CAN = 0x18;
const std::chrono::milliseconds ms(1);

QByteArray frame(quint8 number, QByteArray data, bool checksum = false)
{
    data = data.leftJustified(128, '\x1a');
    QByteArray f;
    f += SOH;
    f += char(number);
    f += char(0xff - number);
    f += data;
    if (checksum) {
        quint8 sum = 0;
        for (char c : data)
            sum = quint8(sum + quint8(c));
        f += char(sum);
    } else {
        quint16 crc = crc16Xmodem(reinterpret_cast<const unsigned char*>(data.constData()), 128);
        f += char(crc >> 8);
        f += char(crc & 0xff);
    }
    return f;
}

std::string bytes(const QByteArray& b)
{
    return std::string(b.constData(), size_t(b.size()));
}

QByteArray image(int size)
{
    QByteArray data;
    for (int i = 0; i < size; ++i)
        data += char((i * 37 + i / 128) & 0xff);
    return data;
}

QByteArray padded(const QByteArray& data)
{
    return data.leftJustified((data.size() + 127) / 128 * 128, '\x1a');
}

// What the receiver said and did, in order: one entry per write ("w"),
// fault ("f") and frame fed to it ("-").
struct Host : XmodemHost {
    struct Entry {
        char type;
        QByteArray bytes;
        FaultEvent fault;
    };
    QList<Entry> log;
    QStringList events;
    std::optional<TransferEnd> ended;

    void sendToTool(const std::string& b, TimePoint) override
    {
        log.append({ 'w', QByteArray(b.data(), int(b.size())), {} });
    }
    void recordEvent(const std::string& name) override { events << QString::fromStdString(name); }
    void transferEnded(TransferEnd end) override { ended = end; }
    void faultInjected(const FaultEvent& fault) override { log.append({ 'f', {}, fault }); }

    QByteArray written(int from = 0) const
    {
        QByteArray all;
        for (int i = from; i < log.size(); ++i)
            all += log[i].bytes;
        return all;
    }
    QList<QByteArray> writes() const
    {
        QList<QByteArray> list;
        for (const Entry& e : log) {
            if (e.type == 'w')
                list << e.bytes;
        }
        return list;
    }
    QList<FaultEvent> faults() const
    {
        QList<FaultEvent> list;
        for (const Entry& e : log) {
            if (e.type == 'f')
                list << e.fault;
        }
        return list;
    }
};

// A sender as a tool would be: the first ACK, NAK or CAN in the answer
// decides, 'C' is skipped, anything else or silence means "send again".
struct Sender {
    int frames = 0;
    int eots = 0;
    bool eotAcknowledged = false;
    bool cancelled = false;

    char exchange(XmodemReceiver& rx, Host& host, const QByteArray& out, TimePoint& now)
    {
        host.log.append({ '-', {}, {} });
        int from = host.log.size();
        rx.feed(bytes(out), now);
        now += ms;
        for (char c : host.written(from)) {
            if (c == ACK || c == NAK || c == CAN)
                return c;
            if (c != 'C')
                break;
        }
        now += std::chrono::milliseconds(300);
        rx.tick(now);
        return 0;
    }

    void send(XmodemReceiver& rx, Host& host, const QByteArray& data, TimePoint& now)
    {
        for (int block = 0; block * 128 < data.size(); ++block) {
            QByteArray f = frame(quint8(block + 1), data.mid(block * 128, 128));
            char answer = 0;
            for (int tries = 0; answer != ACK && tries < 30; ++tries) {
                if (!rx.active())
                    return;
                ++frames;
                answer = exchange(rx, host, f, now);
                if (answer == CAN) {
                    cancelled = true;
                    return;
                }
            }
            if (answer != ACK)
                return;
        }
        for (int tries = 0; tries < 5 && !eotAcknowledged; ++tries) {
            ++eots;
            eotAcknowledged = exchange(rx, host, QByteArray(1, EOT), now) == ACK;
        }
    }
};

ReceiverSettings withFault(FaultKind kind, double p, unsigned seed)
{
    ReceiverSettings s;
    s.random.seed = seed;
    double* target[] = { &s.random.nak, &s.random.corruptRx, &s.random.corruptTx, &s.random.loseReply,
                         &s.random.dupReply, &s.random.strayStart, &s.random.can, &s.random.vanish };
    *target[int(kind)] = p;
    return s;
}

bool meaningful(char c)
{
    return c == SOH || c == EOT || c == ACK || c == NAK || c == CAN || c == 'C';
}

} // namespace

Q_DECLARE_METATYPE(FaultKind)

class TestXmodemReceiver : public QObject {
    Q_OBJECT

private slots:
    void framesSplitAnywhere();
    void checksumMode();
    void startCharacterRepeatsUntilTheFirstBlock();
    void givesUpOnSilenceOnlyOnceBlocksCame();
    void extrasFollowInTheSameWrite();
    void eachFaultHasItsEffect_data();
    void eachFaultHasItsEffect();
    void noiseNeverRepairsADamagedFrame();
    void cancelAndVanishKeepWhatCameBefore_data();
    void cancelAndVanishKeepWhatCameBefore();
    void sameSeedSameFaults();
};

void TestXmodemReceiver::framesSplitAnywhere()
{
    Host host;
    XmodemReceiver rx(host, false, BlockFaults {});
    TimePoint now {};
    rx.start(now);

    const QByteArray one = image(128);
    const QByteArray two = image(200).mid(128);
    QByteArray stream = "x\r" + frame(1, one) + frame(1, one) + frame(3, two) + QByteArray(1, CAN) + "z"
        + frame(2, two) + QByteArray(1, EOT);
    // Pieces of 1, 2, 3, ... bytes: every frame is split somewhere.
    for (int at = 0, size = 1; at < stream.size(); at += size, ++size)
        rx.feed(bytes(stream.mid(at, size)), now += ms);

    QCOMPARE(host.writes(), (QList<QByteArray> { "C", "\x06", "\x06", "\x15", "\x06", "\x06" }));
    QCOMPARE(host.events, (QStringList { "first_block", "eot" }));
    QVERIFY(host.ended == TransferEnd::Complete);
    QVERIFY(rx.complete());
    QCOMPARE(rx.blocks(), 2L);
    QCOMPARE(QByteArray::fromStdString(rx.data()), padded(image(200)));
    QVERIFY(host.faults().isEmpty());
}

void TestXmodemReceiver::checksumMode()
{
    Host host;
    XmodemReceiver rx(host, true, BlockFaults {});
    TimePoint now {};
    rx.start(now);
    QByteArray bad = frame(1, "abc", true);
    bad[60] = char(bad[60] ^ 0x40);
    rx.feed(bytes(bad + frame(1, "abc", true) + QByteArray(1, EOT)), now);
    QCOMPARE(host.writes(), (QList<QByteArray> { "\x15", "\x15", "\x06", "\x06" }));
    QCOMPARE(QByteArray::fromStdString(rx.data()), padded("abc"));
}

void TestXmodemReceiver::startCharacterRepeatsUntilTheFirstBlock()
{
    for (bool checksum : { false, true }) {
        Host host;
        ReceiverSettings s;
        s.checksum = checksum;
        s.startRepeat = 20 * ms;
        XmodemReceiver rx(host, s);
        const TimePoint t0 {};
        const QByteArray start(1, checksum ? NAK : 'C');
        rx.start(t0);
        rx.tick(t0 + 19 * ms);
        QCOMPARE(host.written(), start);
        rx.tick(t0 + 20 * ms);
        rx.tick(t0 + 40 * ms);
        QCOMPARE(host.written(), start.repeated(3));
        QVERIFY(rx.deadline() == t0 + 60 * ms);

        rx.feed(bytes(frame(1, "first", checksum)), t0 + 50 * ms);
        QCOMPARE(host.writes().last(), QByteArray(1, ACK));
        rx.tick(t0 + 100 * ms);
        rx.tick(t0 + 5000 * ms);
        QCOMPARE(host.written(), start.repeated(3) + ACK);
        QVERIFY(!rx.deadline());
    }
}

void TestXmodemReceiver::givesUpOnSilenceOnlyOnceBlocksCame()
{
    {
        Host host;
        ReceiverSettings s;
        s.giveUp = 500 * ms;
        XmodemReceiver rx(host, s);
        const TimePoint t0 {};
        rx.start(t0);
        for (int i = 1; i <= 3; ++i)
            rx.tick(t0 + i * 1000 * ms);
        QCOMPARE(host.written(), QByteArray("CCCC")); // waiting for the first block is not silence

        const TimePoint t1 = t0 + 3500 * ms;
        rx.feed(bytes(frame(1, "one")), t1);
        rx.feed(bytes(frame(2, "two").left(50)), t1 + 100 * ms);
        QVERIFY(rx.deadline() == t1 + 600 * ms);
        rx.tick(t1 + 599 * ms);
        QVERIFY(rx.active());
        rx.tick(t1 + 600 * ms);
        QCOMPARE(host.written(), QByteArray("CCCC\x06\x18\x18"));
        QVERIFY(host.ended == TransferEnd::GaveUp);
        QVERIFY(!rx.active() && !rx.complete() && !rx.deadline());
        QCOMPARE(rx.blocks(), 1L);
    }
    {
        // Longer than the frame timeout: the partial frame is NAKed first.
        Host host;
        ReceiverSettings s;
        s.giveUp = 3000 * ms;
        XmodemReceiver rx(host, s);
        const TimePoint t0 {};
        rx.start(t0);
        rx.feed(bytes(frame(1, "one")), t0);
        rx.feed(bytes(frame(2, "two").left(10)), t0 + 100 * ms);
        rx.tick(t0 + 1100 * ms);
        rx.tick(t0 + 3099 * ms);
        QCOMPARE(host.written(), QByteArray("C\x06\x15"));
        rx.tick(t0 + 3100 * ms);
        QCOMPARE(host.written(), QByteArray("C\x06\x15\x18\x18"));
        QVERIFY(host.ended == TransferEnd::GaveUp);
    }
}

void TestXmodemReceiver::extrasFollowInTheSameWrite()
{
    Host host;
    ReceiverSettings s;
    s.faults.ackExtra[2] = "C";
    s.faults.eotExtra = "\r\nBOOT OK\r\n";
    XmodemReceiver rx(host, s);
    TimePoint now {};
    rx.start(now);
    for (const QByteArray& f : { frame(1, "a"), frame(2, "b"), frame(2, "b"), frame(3, "c"), QByteArray(1, EOT) })
        rx.feed(bytes(f), now += ms);
    QCOMPARE(host.writes(), (QList<QByteArray> { "C", "\x06", "\x06" "C", "\x06", "\x06", "\x06\r\nBOOT OK\r\n" }));

    // A block NAKed at first carries its extra on the ACK it gets in the end.
    Host again;
    s.faults.nak.insert(1);
    s.faults.ackExtra = { { 1, "C" } };
    XmodemReceiver rx2(again, s);
    rx2.start(now);
    rx2.feed(bytes(frame(1, "a")), now += ms);
    rx2.feed(bytes(frame(1, "a")), now += ms);
    rx2.feed(bytes(frame(1, "a")), now += ms);
    QCOMPARE(again.writes(), (QList<QByteArray> { "C", "\x15", "\x06" "C", "\x06" }));
}

void TestXmodemReceiver::eachFaultHasItsEffect_data()
{
    QTest::addColumn<FaultKind>("kind");
    QTest::addColumn<bool>("resends"); // each fault costs the sender one more frame
    QTest::newRow("nak") << FaultKind::Nak << true;
    QTest::newRow("corrupt_rx") << FaultKind::CorruptRx << true;
    QTest::newRow("corrupt_tx") << FaultKind::CorruptTx << true;
    QTest::newRow("lose_reply") << FaultKind::LoseReply << true;
    QTest::newRow("dup_reply") << FaultKind::DupReply << false;
    QTest::newRow("stray_start") << FaultKind::StrayStart << false;
}

void TestXmodemReceiver::eachFaultHasItsEffect()
{
    QFETCH(FaultKind, kind);
    QFETCH(bool, resends);
    const QByteArray data = image(40 * 128 - 17);
    Host host;
    XmodemReceiver rx(host, withFault(kind, 0.3, 4));
    TimePoint now {};
    rx.start(now);
    Sender sender;
    sender.send(rx, host, data, now);

    const QList<FaultEvent> faults = host.faults();
    QVERIFY(faults.size() >= 5);
    long onBlocks = 0;
    long onEot = 0;
    for (const FaultEvent& f : faults) {
        QVERIFY(f.kind == kind);
        QVERIFY(f.eot ? f.block == 0 : (f.block >= 1 && f.block <= 40));
        (f.eot ? onEot : onBlocks) += 1;
    }
    QCOMPARE(rx.faultCount(kind), long(faults.size()));
    QCOMPARE(rx.faultCount(), long(faults.size()));

    // What reached the tool right after each fault, up to the next frame.
    for (int i = 0; i < host.log.size(); ++i) {
        if (host.log[i].type != 'f')
            continue;
        QByteArray after;
        for (int j = i + 1; j < host.log.size() && host.log[j].type != '-'; ++j)
            after += host.log[j].bytes;
        switch (kind) {
        case FaultKind::Nak:
        case FaultKind::CorruptRx:
            QCOMPARE(after, QByteArray(1, NAK));
            break;
        case FaultKind::CorruptTx:
            QCOMPARE(after.size(), 1);
            QVERIFY2(!meaningful(after[0]), after.toHex().constData());
            break;
        case FaultKind::LoseReply:
            QCOMPARE(after, QByteArray());
            break;
        case FaultKind::DupReply:
            QCOMPARE(after, QByteArray(2, ACK));
            break;
        default:
            QCOMPARE(after, QByteArray("\x06" "C"));
        }
    }

    QVERIFY(rx.complete());
    QCOMPARE(QByteArray::fromStdString(rx.data()), padded(data));
    QCOMPARE(sender.frames, 40 + int(resends ? onBlocks : 0));
    // A lost or damaged answer to the EOT leaves the sender unsure although the image is complete.
    bool eotAnswerSpoiled = onEot > 0 && (kind == FaultKind::CorruptTx || kind == FaultKind::LoseReply);
    QCOMPARE(sender.eotAcknowledged, !eotAnswerSpoiled);
    if (kind == FaultKind::Nak)
        QCOMPARE(sender.eots, 1 + int(onEot));
}

// Damage from the line plus the injected noise can cancel out in the check
// (above all in the checksum, a plain sum): such a frame must still be NAKed.
void TestXmodemReceiver::noiseNeverRepairsADamagedFrame()
{
    for (bool checksum : { true, false }) {
        Host host;
        ReceiverSettings s = withFault(FaultKind::CorruptRx, 1.0, 7);
        s.checksum = checksum;
        XmodemReceiver rx(host, s);
        TimePoint now {};
        rx.start(now);
        const int frames = 3000;
        for (int i = 0; i < frames; ++i) {
            QByteArray f = frame(1, image(128), checksum);
            const int at = 1 + (i * 37) % (f.size() - 1);
            f[at] = char(f[at] ^ (1 + (i * 11) % 255));
            rx.feed(bytes(f), now += ms);
        }
        QCOMPARE(rx.blocks(), 0L);
        QVERIFY(rx.data().empty());
        QCOMPARE(rx.faultCount(FaultKind::CorruptRx), long(frames));
        QCOMPARE(host.written(), QByteArray(1, checksum ? NAK : 'C') + QByteArray(frames, NAK));
    }
}

void TestXmodemReceiver::cancelAndVanishKeepWhatCameBefore_data()
{
    QTest::addColumn<FaultKind>("kind");
    QTest::newRow("can") << FaultKind::Can;
    QTest::newRow("vanish") << FaultKind::Vanish;
}

void TestXmodemReceiver::cancelAndVanishKeepWhatCameBefore()
{
    QFETCH(FaultKind, kind);
    const QByteArray data = image(60 * 128);
    Host host;
    XmodemReceiver rx(host, withFault(kind, 0.1, 2));
    TimePoint now {};
    rx.start(now);
    Sender sender;
    sender.send(rx, host, data, now);

    const QList<FaultEvent> faults = host.faults();
    QCOMPARE(faults.size(), 1);
    QVERIFY(faults[0].kind == kind && !faults[0].eot && faults[0].block > 1);
    QVERIFY(!rx.active() && !rx.complete());
    QVERIFY(host.ended == (kind == FaultKind::Can ? TransferEnd::SentCan : TransferEnd::Vanish));
    QCOMPARE(rx.blocks(), faults[0].block - 1);
    QCOMPARE(QByteArray::fromStdString(rx.data()), data.left(int(rx.blocks()) * 128));
    QCOMPARE(sender.cancelled, kind == FaultKind::Can);
    QCOMPARE(host.log.last().type, kind == FaultKind::Can ? 'w' : 'f');
    if (kind == FaultKind::Can)
        QCOMPARE(host.log.last().bytes, QByteArray(2, CAN));
}

void TestXmodemReceiver::sameSeedSameFaults()
{
    auto run = [](unsigned seed, QByteArray& received) {
        ReceiverSettings s;
        s.random = { seed, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0, 0 };
        Host host;
        XmodemReceiver rx(host, s);
        TimePoint now {};
        rx.start(now);
        Sender sender;
        sender.send(rx, host, image(30 * 128), now);
        received = QByteArray::fromStdString(rx.data());
        QStringList faults;
        for (const FaultEvent& f : host.faults())
            faults << QString("%1@%2%3").arg(faultName(f.kind)).arg(f.block).arg(f.eot ? "eot" : "");
        return faults;
    };
    QByteArray a, b, c;
    const QStringList first = run(9, a);
    QVERIFY(first.size() >= 6);
    QCOMPARE(run(9, b), first);
    QVERIFY(run(10, c) != first);
    QCOMPARE(a, image(30 * 128));
    QCOMPARE(b, a);
    QCOMPARE(c, a);
}

QTEST_GUILESS_MAIN(TestXmodemReceiver)
#include "test_xmodem_receiver.moc"
