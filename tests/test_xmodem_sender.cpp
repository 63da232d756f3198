// The sender as a state machine: tables of (time, module's bytes) -> (what
// the sender wrote, how it ended). Writes read B1 (block 1), E (EOT), X
// (CAN CAN), separated by spaces.

#include "engine/xmodem_sender.h"

#include <QtTest>

namespace {

struct Step
{
    qint64 ms;
    QByteArray input; // empty: time passes
    QString writes;   // what the sender wrote in this step
};

QString token(const QByteArray &bytes)
{
    if (bytes == QByteArray(1, '\x04'))
        return QStringLiteral("E");
    if (bytes == QByteArray(2, '\x18'))
        return QStringLiteral("X");
    if ((bytes.size() == 133 || bytes.size() == 132) && bytes.at(0) == 0x01)
        return QStringLiteral("B%1").arg(quint8(bytes.at(1)));
    return QStringLiteral("?") + QString::fromLatin1(bytes.toHex());
}

const QByteArray ack(1, '\x06');
const QByteArray nak(1, '\x15');

} // namespace

Q_DECLARE_METATYPE(QVector<Step>)

class TestXmodemSender : public QObject
{
    Q_OBJECT

private slots:
    void answers_and_time_data()
    {
        QTest::addColumn<int>("image_bytes");
        QTest::addColumn<QVector<Step>>("steps");
        QTest::addColumn<int>("end");

        // The faults of modules that answer late: every ACK matches one frame.
        QTest::newRow("start character crossing block 1 brings no copy") << 200 << QVector<Step>{
            {0, "C", "B1"}, {5, "C", ""}, {20, ack, "B2"}, {40, ack, "E"}, {50, ack, ""}} << int(SenderEnd::success);
        QTest::newRow("duplicate answered late after a slow first block") << 200 << QVector<Step>{
            {0, "C", "B1"}, {10000, {}, "B1"}, {12000, ack, ""}, {12095, ack, "B2"}, {12200, nak, "B2"},
            {12300, ack, "E"}, {12400, ack, ""}} << int(SenderEnd::success);
        QTest::newRow("duplicate never answered: the settle bound goes on") << 200 << QVector<Step>{
            {0, "C", "B1"}, {10000, {}, "B1"}, {10500, ack, ""}, {20499, {}, ""}, {20500, {}, "B2"},
            {20600, ack, "E"}, {20700, ack, ""}} << int(SenderEnd::success);
        QTest::newRow("damaged last block NAKed once: the EOT waits for its ACK") << 256 << QVector<Step>{
            {0, "C", "B1"}, {30, ack, "B2"}, {60, nak, "B2"}, {90, ack, "E"}, {100, ack, ""}}
            << int(SenderEnd::success);
        QTest::newRow("checksum start NAK crossing block 1 is no answer") << 100 << QVector<Step>{
            {0, nak, "B1"}, {5, nak, ""}, {40, ack, "E"}, {70, ack, ""}} << int(SenderEnd::success);
        QTest::newRow("replies batched in one read count once") << 100 << QVector<Step>{
            {0, "C", "B1"}, {30, "\x15\x06", "E"}, {40, "\x06\r\nBOOT", ""}} << int(SenderEnd::success);
        QTest::newRow("checksum start NAK crossing the EOT of an empty image") << 0 << QVector<Step>{
            {0, nak, "E"}, {5, nak, ""}, {60, ack, ""}} << int(SenderEnd::success);
        QTest::newRow("empty image: the EOT alone") << 0 << QVector<Step>{{0, "C", "E"}, {9, ack, ""}}
                                                   << int(SenderEnd::success);
        QTest::newRow("a lone C after block 1 was answered") << 300 << QVector<Step>{
            {0, "C", "B1"}, {20, ack, "B2"}, {30, "C", "X"}} << int(SenderEnd::failure);
    }

    void answers_and_time()
    {
        QFETCH(int, image_bytes);
        QFETCH(QVector<Step>, steps);
        QFETCH(int, end);
        QByteArray image(image_bytes, Qt::Uninitialized);
        for (int i = 0; i < image_bytes; ++i)
            image[i] = static_cast<char>(i * 7 + 3);
        QStringList written;
        XmodemSender sender(image, [&](const QByteArray &bytes) { written << token(bytes); });
        sender.start(0);
        for (const Step &step : steps) {
            written.clear();
            sender.feed(step.input, step.ms);
            sender.tick(step.ms);
            QCOMPARE(written.join(QLatin1Char(' ')), step.writes);
        }
        QCOMPARE(int(sender.end()), end);
        QVERIFY(sender.bytes_sent() <= image_bytes);
    }
};

QTEST_GUILESS_MAIN(TestXmodemSender)
#include "test_xmodem_sender.moc"
