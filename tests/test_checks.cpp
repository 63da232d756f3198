// The checks around the transfer as state machines: the identity step of
// the handshake, the boot check after the EOT and how replies are read.

#include "cli/command_line.h"
#include "engine/boot_check.h"
#include "engine/reply_lines.h"
#include "protocol/wire.h"

#include <QtTest>

namespace {

// Writes read as "+++", "@115200" for a rate change, or the command itself.
struct Host : HandshakeHost
{
    QStringList writes;
    IdentityVerdict verdict = IdentityVerdict::update;
    QByteArray id;
    void write_command(const QByteArray &bytes) override { writes << QString::fromLatin1(bytes.trimmed()); }
    void set_rate(int baud) override { writes << QStringLiteral("@%1").arg(baud); }
    IdentityVerdict identified(const QByteArray &module_id) override
    {
        id = module_id;
        return verdict;
    }
};

struct Input
{
    qint64 ms;
    QByteArray bytes;
};

} // namespace

Q_DECLARE_METATYPE(QVector<Input>)
Q_DECLARE_METATYPE(BootStep)

class TestChecks : public QObject
{
    Q_OBJECT

private slots:
    void meaningful_lines_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QByteArray>("line"); // "-": none yet
        QTest::newRow("echo, id, OK") << QByteArray("AT+ID?\r\r\n  MAC 01:02 \r\nOK\r\n") << false << QByteArray("MAC 01:02");
        QTest::newRow("OK lines only") << QByteArray("OK\r\nOK\r\n") << true << QByteArray("-");
        QTest::newRow("line not ended yet") << QByteArray("\r\nABC") << false << QByteArray("-");
        QTest::newRow("unended line at the end") << QByteArray("\r\nABC") << true << QByteArray("ABC");
        QTest::newRow("at most 128 bytes") << QByteArray(300, 'x') + "\n" << false << QByteArray(128, 'x');
    }
    void meaningful_lines()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, complete);
        QFETCH(QByteArray, line);
        bool found = false;
        const QByteArray got = meaningful_line(reply, "AT+ID?\r", complete, &found);
        QCOMPARE(found ? got : QByteArray("-"), line);
    }

    // The module's identity between its "OK" and the reboot; one that is
    // already done stays in its application, a refused one too.
    void identity_before_the_reboot()
    {
        const std::pair<IdentityVerdict, HandshakeStep> verdicts[] = {
            {IdentityVerdict::update, HandshakeStep::rebooting},
            {IdentityVerdict::leave_as_is, HandshakeStep::left_in_application},
            {IdentityVerdict::refuse, HandshakeStep::no_identity}};
        for (const auto &[verdict, step] : verdicts) {
            Host host;
            host.verdict = verdict;
            Handshake handshake(host, 0, 100, "AT+ID?\r");
            handshake.start(0);
            handshake.tick(0);
            handshake.feed("OK");
            handshake.tick(800);
            handshake.tick(900);
            QCOMPARE(handshake.step(), HandshakeStep::reading_id);
            handshake.feed("\r\nID-7\r");
            handshake.tick(950); // before its deadline: the line is read as it comes
            QCOMPARE(host.id, QByteArray("ID-7"));
            QCOMPARE(handshake.step(), step);
            QCOMPARE(handshake.ended(), step != HandshakeStep::rebooting);
            QCOMPARE(host.writes, QStringList({"+++", "+++", "AT+ID?"})
                                      + (step == HandshakeStep::rebooting ? QStringList{"AT+Reboot"} : QStringList()));
        }
    }

    // An AT status, nothing, or a line outside --id-pattern (whole) is no identity.
    void identity_replies()
    {
        const char *const cases[][3] = {
            // The reply's line, --id-pattern ("": none), and what it is.
            {"", "", "empty"},
            {"ERROR", "", "at_status"}, {"+CME ERROR: 10", "", "at_status"},
            {"+CMS ERROR: 500", "", "at_status"}, {"MAC 01:02", "MAC [0-9A-F:]+", "identity"},
            {"MAC 01:02 spare", "MAC [0-9A-F:]+", "unmatched"}, {"XMAC 01:02", "MAC [0-9A-F:]+", "unmatched"},
            {"AB", "A|AB", "identity"},
        };
        const QStringList names = {"identity", "empty", "at_status", "unmatched"};
        for (const auto &test : cases) {
            QStringList options = {"t", "--file", "f", "--port", "p", "--id-command", "I"};
            if (*test[1])
                options << "--id-pattern" << test[1];
            const CommandLine line = parse_command_line(options);
            QCOMPARE(line.mode, CommandLine::Mode::run);
            const IdReply got = classify_id_reply(test[0], line.checks.id_pattern);
            QVERIFY2(names.value(int(got)) == test[2], test[0]);
        }
    }

    // The whole word, not a part of one; the version in dotted numeric order.
    void version_rules()
    {
        const char *const cases[][4] = {
            // The reply, --expect-version, --min-version ("": none), accepted.
            {"AT+VER?\r\n2.4.1\r\nOK\r\n", "2.4.1", "", "1"}, {"\r\n2.4.10\r\nOK", "2.4.1", "", "0"},
            {"\r\n12.4.1\r\n", "2.4.1", "", "0"}, {"AT version:2.4.0.0(s-b097)", "version:2.4", "", "0"},
            {"AT version:2.4.0.0(s-b097)", "AT version:2.4.0.0", "", "1"},
            {"2.4.10", "", "2.4.9", "1"}, {"2.4.9", "", "2.4.10", "0"}, {"2.4", "", "2.4.0", "1"},
            {"SDK v3 build 2.5.0", "", "2.5", "1"}, {"2.4.1-rc1", "", "2.0", "0"}, {"v2.4.1", "", "1", "0"},
            {"2.4.1", "2.4.1", "2.5", "0"},
        };
        for (const auto &test : cases) {
            const CommandLine line = parse_command_line(
                QStringList{"t", "--file", "f", "--port", "p", "--verify", "--version-command", "AT+VER?\\r"}
                + (*test[1] ? QStringList{"--expect-version", test[1]} : QStringList())
                + (*test[2] ? QStringList{"--min-version", test[2]} : QStringList()));
            QCOMPARE(line.mode, CommandLine::Mode::run);
            const QList<QByteArray> words = reply_words(test[0], line.checks.version_command, true);
            QVERIFY2(version_accepted(words, line.checks.expect_version, line.checks.min_version) == (*test[3] == '1'),
                     qPrintable(words.join('|') + ' ' + line.checks.min_version.toString()));
        }
    }

    void boot_check_data()
    {
        QTest::addColumn<QByteArray>("version_command");
        QTest::addColumn<QVector<Input>>("inputs");
        QTest::addColumn<BootStep>("end");
        QTest::addColumn<QStringList>("writes");
        const QStringList first = {"@57600", "+++"};
        const QStringList round = first + QStringList{"@115200", "+++", "@9600", "+++"};
        QTest::newRow("OK at the found rate") << QByteArray() << QVector<Input>{{300, "\r\nOK\r\n"}}
                                              << BootStep::booted << first;
        QTest::newRow("OK at another rate") << QByteArray() << QVector<Input>{{1900, "OK"}} << BootStep::booted << round;
        QTest::newRow("no OK in time") << QByteArray() << QVector<Input>{{5000, "ERROR"}} << BootStep::not_booted
                                       << round + QStringList{"@14400", "+++", "@19200", "+++", "@38400", "+++", "@57600"};
        QTest::newRow("right version") << QByteArray("AT+VER?\r") << QVector<Input>{{300, "OK"}, {400, "\r\n2.4.1\r\nOK"}}
                                       << BootStep::version_matched << first + QStringList{"AT+VER?"};
        QTest::newRow("wrong version") << QByteArray("AT+VER?\r") << QVector<Input>{{300, "OK"}, {400, "\r\n2.4.0\r\nOK"}}
                                       << BootStep::wrong_version << first + QStringList{"AT+VER?"};
        QTest::newRow("right version's start only") << QByteArray("AT+VER?\r")
                                                    << QVector<Input>{{300, "OK"}, {400, "\r\n2.4.1"}, {500, "0\r\nOK\r\n"}}
                                                    << BootStep::wrong_version << first + QStringList{"AT+VER?"};
    }
    void boot_check()
    {
        QFETCH(QByteArray, version_command);
        QFETCH(QVector<Input>, inputs);
        QFETCH(BootStep, end);
        QFETCH(QStringList, writes);
        Host host;
        BootCheck check(host, BootCheck::rates_from(57600), 5000, version_command, "2.4.1");
        check.start(0);
        qint64 now = 0;
        for (int guard = 0; !check.ended() && guard < 1000; ++guard) {
            now = inputs.isEmpty() ? check.deadline() : qMin(check.deadline(), inputs.first().ms);
            if (!inputs.isEmpty() && inputs.first().ms == now)
                check.feed(inputs.takeFirst().bytes);
            check.tick(now);
        }
        QCOMPARE(check.step(), end);
        QCOMPARE(host.writes, writes);
        QVERIFY(now <= 5000 + 600);
        if (!version_command.isEmpty())
            QCOMPARE(check.version_reply() == "2.4.1", end == BootStep::version_matched);
    }

    // The options of the checks: escapes decoded, bad combinations refused.
    void check_options()
    {
        const char *const cases[][2] = {
            // Options, and the identity command read from them; "!": a usage error.
            {"--id-command AT+ID?\\r\\x01\\\\", "AT+ID?\r\x01\\"},
            {"--version-command V --expect-version 1", "!"}, // without --verify
            {"--verify --version-command V", "!"},           // no version to expect
            {"--skip-done", "!"},                            // without an identity
            {"--id-command I --skip-done --no-history", "!"},
            {"--verify --verify-timeout soon", "!"},
            {"--id-pattern ID-[0-9]+", "!"}, // without --id-command
            {"--id-command I --id-pattern (", "!"},
            {"--verify --version-command V --min-version 2.x", "!"},
            {"--verify --min-version 2.4", "!"}, // no version command
        };
        for (const auto &test : cases) {
            const CommandLine line = parse_command_line(QStringList{"tool", "--file", "f", "--port", "p"}
                                                        + QString::fromLatin1(test[0]).split(' '));
            QVERIFY2((line.mode == CommandLine::Mode::usage_error ? "!" : line.checks.id_command) == test[1],
                     test[0]);
        }
    }
};

QTEST_GUILESS_MAIN(TestChecks)
#include "test_checks.moc"
