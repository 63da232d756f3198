// Pure logic: CRC and frames, progress text, the "OK" recogniser, log line
// format, port listing and device names.

#include "engine/log_format.h"
#include "platform/platform.h"
#include "protocol/framing.h"
#include "protocol/ok_reply.h"
#include "protocol/replies.h"

#include <QLocale>
#include <QtTest>

namespace {

// The CRC as its definition states it, bit by bit, independent of the table the tool uses.
quint16 reference_crc(const unsigned char *data, int length)
{
    quint32 crc = 0;
    for (int i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool out = crc & 0x8000;
            const bool in = (data[i] >> bit) & 1;
            crc = (crc << 1) & 0xFFFF;
            if (out != in)
                crc ^= 0x1021;
        }
    }
    return static_cast<quint16>(crc);
}

} // namespace

class TestPureLogic : public QObject
{
    Q_OBJECT

private slots:
    void crc_vectors()
    {
        const QByteArray digits("123456789");
        QCOMPARE(xmodem_crc16(reinterpret_cast<const unsigned char *>(digits.constData()), 9), quint16(0x31C3));

        unsigned char zeros[128] = {};
        QCOMPARE(xmodem_crc16(zeros, 128), quint16(0x0000));
        unsigned char subs[128];
        memset(subs, 0x1A, sizeof subs);
        QCOMPARE(xmodem_crc16(subs, 128), quint16(0xF8B0));
    }

    void frame_headers_and_lengths()
    {
        unsigned char data[128];
        for (int i = 0; i < 128; ++i)
            data[i] = static_cast<unsigned char>(i * 7 + 3);

        const QByteArray first = build_frame(data, true, 1);
        QCOMPARE(first.size(), 133);
        QCOMPARE(first.left(3), QByteArray("\x01\x01\xFE", 3));
        QCOMPARE(first.mid(3, 128), QByteArray(reinterpret_cast<const char *>(data), 128));
        const quint16 crc = reference_crc(data, 128);
        QCOMPARE(quint8(first.at(131)), quint8(crc >> 8));
        QCOMPARE(quint8(first.at(132)), quint8(crc & 0xFF));

        QCOMPARE(build_frame(data, true, 255).left(3), QByteArray("\x01\xFF\x00", 3));
        QCOMPARE(build_frame(data, true, 0).left(3), QByteArray("\x01\x00\xFF", 3));

        const QByteArray checksum_frame = build_frame(data, false, 2);
        QCOMPARE(checksum_frame.size(), 132);
        int sum = 0;
        for (unsigned char byte : data)
            sum += byte;
        QCOMPARE(quint8(checksum_frame.at(131)), quint8(sum % 256));
    }

    void progress_of_a_300_byte_image()
    {
        QCOMPARE(progress_text(128, 300), QStringLiteral("完成:42%"));
        QCOMPARE(progress_text(256, 300), QStringLiteral("完成:85%"));
        QCOMPARE(progress_text(300, 300), QStringLiteral("完成:100%"));
        // Large images must not overflow on the way to the percentage.
        QCOMPARE(progress_text(Q_INT64_C(3) << 31, Q_INT64_C(4) << 31), QStringLiteral("完成:75%"));
    }

    void replies_decided_by_their_last_control_byte_data()
    {
        QTest::addColumn<QByteArray>("block_reply");
        QTest::addColumn<int>("kind");
        QTest::newRow("nothing") << QByteArray() << int(Reply::none);
        QTest::newRow("ACK") << QByteArray("\x06") << int(Reply::ack);
        QTest::newRow("ACK then a banner") << QByteArray("\x06\r\nBOOT OK\r\n") << int(Reply::ack);
        QTest::newRow("stale C then ACK") << QByteArray("C\x06") << int(Reply::ack);
        QTest::newRow("ACK then stale C") << QByteArray("\x06" "C") << int(Reply::ack);
        QTest::newRow("NAK after ACK") << QByteArray("\x06\x15") << int(Reply::nak);
        QTest::newRow("two CANs") << QByteArray("\x18\x18") << int(Reply::cancel);
        QTest::newRow("lone C") << QByteArray("C") << int(Reply::start_request);
        QTest::newRow("lone other byte") << QByteArray("A") << int(Reply::other);
        QTest::newRow("bytes without a decision") << QByteArray("CC") << int(Reply::noise);
    }

    void replies_decided_by_their_last_control_byte()
    {
        QFETCH(QByteArray, block_reply);
        QFETCH(int, kind);
        QCOMPARE(int(classify_block_reply(block_reply)), kind);
    }

    void start_replies_decided_by_their_first_byte()
    {
        QCOMPARE(classify_start_reply("CCC"), Reply::start_request);
        QCOMPARE(classify_start_reply("\x15"), Reply::nak);
        QCOMPARE(classify_start_reply("xC"), Reply::other);
        QCOMPARE(classify_start_reply(QByteArray()), Reply::none);
    }

    void ok_recogniser_data()
    {
        QTest::addColumn<QByteArray>("polls"); // '.' stands for an empty poll
        QTest::addColumn<QString>("results");  // 'r' recognised, 'n' nothing read, '-' not yet
        QTest::newRow("line end OK line end") << QByteArray("\r\nOK\r\n") << QStringLiteral("---r--");
        QTest::newRow("O O K") << QByteArray("OOK") << QStringLiteral("---");
        QTest::newRow("O, empty poll, K") << QByteArray("O.K") << QStringLiteral("-n-");
        QTest::newRow("lower case") << QByteArray("ok") << QStringLiteral("--");
        QTest::newRow("O then other then OK") << QByteArray("OxOK") << QStringLiteral("---r");
    }

    void ok_recogniser()
    {
        QFETCH(QByteArray, polls);
        QFETCH(QString, results);
        OkReplyState state;
        QString seen;
        for (char byte : polls) {
            const bool empty = byte == '.';
            switch (ok_reply_step(state, empty ? 0 : 1, empty ? '\n' : static_cast<unsigned char>(byte))) {
            case OkPoll::recognised: seen += QLatin1Char('r'); break;
            case OkPoll::nothing_read: seen += QLatin1Char('n'); break;
            case OkPoll::not_yet: seen += QLatin1Char('-'); break;
            }
        }
        QCOMPARE(seen, results);
    }

    void ok_recogniser_read_error_counts_as_line_feed()
    {
        OkReplyState state;
        QCOMPARE(ok_reply_step(state, 1, 'O'), OkPoll::not_yet);
        QCOMPARE(ok_reply_step(state, -1, '\n'), OkPoll::not_yet);
        QCOMPARE(ok_reply_step(state, 1, 'K'), OkPoll::not_yet);
    }

    void ok_recogniser_counter_wraps_and_state_carries_over()
    {
        OkReplyState state;
        for (int i = 0; i < 300; ++i)
            QCOMPARE(ok_reply_step(state, 1, 'x'), OkPoll::not_yet);
        QCOMPARE(int(state.poll_counter), 300 % 256);
        // An 'O' at the end of one poll completes with the 'K' of the next.
        QCOMPARE(ok_reply_step(state, 1, 'O'), OkPoll::not_yet);
        QCOMPARE(int(state.o_seen), 1);
        QCOMPARE(ok_reply_step(state, 1, 'K'), OkPoll::recognised);
        QCOMPARE(int(state.poll_counter), 0);
        QCOMPARE(int(state.o_seen), 0);
    }

    void log_line_format()
    {
        QLocale::setDefault(QLocale::c());
        const QDateTime when(QDate(2026, 12, 6), QTime(14, 5, 9));
        const QString day = QLocale().toString(when, QStringLiteral("ddd"));
        QCOMPARE(format_log_line(when, QStringLiteral("COM3对应设备升级成功")),
                 QStringLiteral("2026-12-06 14:05:09 ") + day + QStringLiteral(" :COM3对应设备升级成功\n"));
    }

    void port_listing_and_device_names()
    {
        QCOMPARE(merge_port_names({QStringLiteral("ttyS0")}, QStringLiteral("/tmp/a:/tmp/b")),
                 QStringList({QStringLiteral("ttyS0"), QStringLiteral("/tmp/a"), QStringLiteral("/tmp/b")}));
        QCOMPARE(merge_port_names({}, QString()), QStringList());
        QCOMPARE(merge_port_names({}, QStringLiteral("::/tmp/x:")), QStringList({QStringLiteral("/tmp/x")}));
#ifdef Q_OS_WIN
        QCOMPARE(device_name(QStringLiteral("COM3")), QStringLiteral("\\\\.\\COM3"));
#else
        QCOMPARE(device_name(QStringLiteral("ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(device_name(QStringLiteral("/tmp/sim/ttySIM")), QStringLiteral("/tmp/sim/ttySIM"));
#endif
    }

    // The data of a SERIALCOMM value as Windows stores it, whatever its type.
    void port_name_from_registry_value_data()
    {
        const auto utf16 = [](const QString &text, int terminators) {
            return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2)
                   + QByteArray(2 * terminators, '\0');
        };
        const struct
        {
            QByteArray data;
            QString name;
        } cases[] = {
            {utf16(QStringLiteral("COM7"), 1), QStringLiteral("COM7")},
            {utf16(QStringLiteral("COM12"), 0), QStringLiteral("COM12")},
            {QByteArray("COM3", 5), QStringLiteral("COM3")}, // 8-bit text
            {QByteArray(2, '\0'), QString()},
            {QByteArray(), QString()},
        };
        for (const auto &c : cases)
            QCOMPARE(port_name_from_registry_data(c.data), c.name);
    }

    void usb_identity_from_windows_instance_ids()
    {
        const struct
        {
            const char *instance_id;
            const char *vid_pid;
            const char *serial_number;
        } cases[] = {
            {"USB\\VID_0403&PID_6001\\A50285BI", "0403:6001", "A50285BI"},
            {"FTDIBUS\\VID_0403+PID_6015+DK0B1WJXA\\0000", "0403:6015", "DK0B1WJXA"},
            {"USB\\VID_10C4&PID_EA60\\5&2C6B3E1A&0&2", "10c4:ea60", ""},      // made up by Windows
            {"USB\\VID_2341&PID_0043&MI_00\\7&1A2B&0&0000", "2341:0043", ""}, // an interface
            {"ACPI\\PNP0501\\1", "", ""},
        };
        for (const auto &c : cases) {
            AdapterDetails adapter;
            usb_ids_from_instance_id(QString::fromLatin1(c.instance_id), adapter);
            QCOMPARE(adapter.vid_pid, QString::fromLatin1(c.vid_pid));
            QCOMPARE(adapter.serial_number, QString::fromLatin1(c.serial_number));
        }
    }
};

QTEST_GUILESS_MAIN(TestPureLogic)
#include "test_framing.moc"
