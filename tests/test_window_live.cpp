// The window while the tool runs: the port rows follow the ports that come
// and go, each box tells its adapter, and every log line is kept in the
// day's update record on disk.

#include "pty_pair.h"
#include "update_rig.h"

#include <QCryptographicHash>
#include <QHBoxLayout>
#include <QPointer>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

std::unique_ptr<MainWindow> window_with_ports(const QString &ports)
{
    qputenv("TESSIK_EXTRA_PORTS", ports.toUtf8());
    return std::make_unique<MainWindow>();
}

QStringList box_texts(const MainWindow &window)
{
    QStringList texts;
    for (const QCheckBox *box : window.findChildren<QCheckBox *>())
        texts << box->text();
    texts.sort();
    return texts;
}

// Every day's file of the record, oldest first, as one text.
QString record_text(const QString &folder)
{
    QString text;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

// Standard error of this process into a file while it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path)
    {
        std::fflush(stderr);
        saved = ::dup(2);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (saved >= 0 && fd >= 0)
            ::dup2(fd, 2);
        if (fd >= 0)
            ::close(fd);
    }
    ~StderrCapture() { restore(); }
    void restore()
    {
        std::fflush(stderr);
        if (saved >= 0) {
            ::dup2(saved, 2);
            ::close(saved);
        }
        saved = -1;
    }

private:
    int saved = -1;
};

const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\S+ :"));

} // namespace

class TestWindowLive : public QObject
{
    Q_OBJECT

    QTemporaryDir state;

private slots:
    void initTestCase()
    {
        QVERIFY(state.isValid());
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
    }

    void rows_follow_the_ports_that_come_and_go()
    {
        auto window = window_with_ports(QStringLiteral("COM2:COM5"));
        WindowProbe probe(*window);
        QStringList listed = {QStringLiteral("COM2"), QStringLiteral("COM5")};
        probe.set_port_lister([&listed] { return listed; });

        QTest::ignoreMessage(QtDebugMsg, "status1 =  true");
        probe.check_box(1)->setChecked(true); // COM5
        probe.progress_label(1)->setText(QStringLiteral("完成:100%"));
        const QPointer<QCheckBox> old_box = probe.check_box(0);
        const QPointer<QLabel> old_label = probe.progress_label(0);
        const QPointer<QLayout> old_column = probe.ports_layout()->itemAt(0)->layout();

        // The same set, listed in another order and twice over, changes nothing.
        listed = QStringList{QStringLiteral("COM5"), QStringLiteral("COM2"), QStringLiteral("COM5")};
        probe.poll_ports();
        QCOMPARE(probe.check_box(0), old_box.data());

        // COM2 goes, COM10 and COM3 come: rows in string order, COM5 keeps its tick.
        listed = QStringList{QStringLiteral("COM5"), QStringLiteral("COM3"), QStringLiteral("COM10")};
        probe.poll_ports();
        QCOMPARE(probe.port_table().keys(),
                 QStringList({QStringLiteral("COM10"), QStringLiteral("COM3"), QStringLiteral("COM5")}));
        QCOMPARE(probe.port_table().values(),
                 QStringList({QStringLiteral("false"), QStringLiteral("false"), QStringLiteral("true")}));
        QCOMPARE(probe.check_box(0)->text(), QStringLiteral("COM10"));
        QCOMPARE(probe.check_box(1)->text(), QStringLiteral("COM3"));
        QCOMPARE(probe.check_box(2)->text(), QStringLiteral("COM5"));
        QVERIFY(!probe.check_box(0)->isChecked() && !probe.check_box(1)->isChecked());
        QVERIFY(probe.check_box(2)->isChecked());
        QVERIFY(probe.check_box(3) == nullptr);
        QCOMPARE(probe.progress_label(2)->text(), QStringLiteral("完成:100%"));
        QVERIFY(probe.progress_label(0)->text().isEmpty());

        // The old rows are gone, widgets and layouts alike.
        QVERIFY(old_box.isNull() && old_label.isNull() && old_column.isNull());
        QCOMPARE(box_texts(*window), QStringList({QStringLiteral("COM10"), QStringLiteral("COM3"),
                                                  QStringLiteral("COM5")}));
        QCOMPARE(window->findChildren<QLabel *>().size(), 3 + 1); // the prompt
        QCOMPARE(probe.ports_layout()->count(), 3);
        for (int row = 0; row < 3; ++row) {
            QLayout *column = probe.ports_layout()->itemAt(row)->layout();
            QCOMPARE(column->itemAt(0)->widget(), static_cast<QWidget *>(probe.check_box(row)));
            QCOMPARE(column->itemAt(1)->widget(), static_cast<QWidget *>(probe.progress_label(row)));
        }
        QCOMPARE(probe.main_layout()->count(), 4);
        QCOMPARE(probe.main_layout()->itemAt(1)->layout(), static_cast<QLayout *>(probe.ports_layout()));
        QCOMPARE(probe.main_layout()->itemAt(2)->layout()->itemAt(0)->widget(),
                 static_cast<QWidget *>(probe.log_view()));

        // The rebuilt boxes drive the table through their rows' slots.
        probe.check_box(0)->setChecked(true);
        QCOMPARE(probe.port_table().value(QStringLiteral("COM10")), QStringLiteral("true"));
        QTest::ignoreMessage(QtDebugMsg, "status1 =  true");
        probe.check_box(1)->setChecked(true);
        QCOMPARE(probe.port_table().value(QStringLiteral("COM3")), QStringLiteral("true"));
        probe.check_box(2)->setChecked(false);
        QCOMPARE(probe.port_table().value(QStringLiteral("COM5")), QStringLiteral("false"));

        // Every port gone: no row and no ports layout, as with none at start-up.
        listed.clear();
        probe.poll_ports();
        QVERIFY(probe.port_table().isEmpty());
        QVERIFY(probe.check_box(0) == nullptr);
        QVERIFY(window->findChildren<QCheckBox *>().isEmpty());
        QCOMPARE(probe.main_layout()->count(), 3);
        QCOMPARE(probe.main_layout()->itemAt(1)->layout()->itemAt(0)->widget(),
                 static_cast<QWidget *>(probe.log_view()));

        // One comes back between the prompt and the log.
        listed = QStringList{QStringLiteral("COM7")};
        probe.poll_ports();
        QCOMPARE(probe.main_layout()->count(), 4);
        QCOMPARE(probe.main_layout()->itemAt(1)->layout(), static_cast<QLayout *>(probe.ports_layout()));
        QCOMPARE(probe.check_box(0)->text(), QStringLiteral("COM7"));
        QVERIFY(!probe.check_box(0)->isChecked());
        QCOMPARE(probe.port_table().value(QStringLiteral("COM7")), QStringLiteral("false"));
    }

    void ninth_row_loses_its_tick()
    {
        QStringList listed;
        for (int i = 1; i <= 8; ++i)
            listed << QStringLiteral("ttyS%1").arg(i);
        auto window = window_with_ports(listed.join(QLatin1Char(':')));
        WindowProbe probe(*window);
        probe.set_port_lister([&listed] { return listed; });
        probe.tick(QStringLiteral("ttyS8"));
        probe.tick(QStringLiteral("ttyS2"));

        listed << QStringLiteral("ttyS0"); // pushes ttyS8 to the ninth row
        probe.poll_ports();
        QCOMPARE(window->findChildren<QCheckBox *>().size(), 9);
        QCOMPARE(probe.check_box(7)->text(), QStringLiteral("ttyS7"));
        QCOMPARE(probe.port_table().value(QStringLiteral("ttyS8")), QStringLiteral("false"));
        QCOMPARE(probe.port_table().value(QStringLiteral("ttyS2")), QStringLiteral("true"));
        QVERIFY(probe.check_box(2)->isChecked());
        for (QCheckBox *box : window->findChildren<QCheckBox *>())
            QCOMPARE(box->isChecked(), box->text() == QLatin1String("ttyS2"));
    }

    void the_port_list_is_watched_once_a_second()
    {
        PtyPair pty;
        QVERIFY(pty.ok());
        auto window = window_with_ports(QStringLiteral("ttyLIVE1"));
        WindowProbe probe(*window);
        QVERIFY(probe.port_watch_timer()->isActive());
        QCOMPARE(probe.port_watch_timer()->interval(), 1000);
        probe.tick(QStringLiteral("ttyLIVE1"));

        qputenv("TESSIK_EXTRA_PORTS", (QStringLiteral("ttyLIVE1:") + pty.slave()).toUtf8());
        QTRY_COMPARE_WITH_TIMEOUT(probe.port_table().size(), 2, 5000);
        QCOMPARE(probe.check_box(0)->text(), pty.slave()); // "/dev/pts/..." sorts first
        QCOMPARE(probe.check_box(0)->toolTip(), pty.slave());
        QCOMPARE(probe.port_table().value(QStringLiteral("ttyLIVE1")), QStringLiteral("true"));
        QVERIFY(probe.check_box(1)->isChecked());

        qputenv("TESSIK_EXTRA_PORTS", pty.slave().toUtf8());
        QTRY_COMPARE_WITH_TIMEOUT(probe.port_table().size(), 1, 5000);
        QCOMPARE(probe.check_box(0)->text(), pty.slave());
        QVERIFY(!probe.check_box(0)->isChecked());
    }

    void no_change_while_an_update_runs()
    {
        // A bare pseudo-terminal never answers: the update sits in its scan
        // and then in the reset handshake for many seconds.
        PtyPair pty;
        QVERIFY(pty.ok());
        QTemporaryDir dir;
        auto window = window_with_ports(pty.slave());
        WindowProbe probe(*window);
        QStringList listed = {pty.slave()};
        probe.set_port_lister([&listed] { return listed; });
        QFile image(dir.filePath(QStringLiteral("image.bin")));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(sample_image(256));
        image.close();
        probe.firmware_path() = image.fileName();
        probe.tick(pty.slave());
        probe.send_file();
        QVERIFY(probe.run() && probe.run()->running());
        QCheckBox *box = probe.check_box(0);

        listed << QStringLiteral("ttyNEW");
        probe.poll_ports();
        QSignalSpy watched(probe.port_watch_timer(), &QTimer::timeout);
        QVERIFY(watched.wait(10000)); // the window's poll, connected first, ran
        QVERIFY(probe.run()->running());
        QCOMPARE(probe.port_table().keys(), QStringList({pty.slave()}));
        QCOMPARE(probe.check_box(0), box);

        probe.run()->abort();
        QVERIFY(wait_until([&] { return probe.idle(); }, 10000));
        QTRY_COMPARE_WITH_TIMEOUT(probe.port_table().size(), 2, 5000);
        QCOMPARE(probe.port_table().value(pty.slave()), QStringLiteral("true"));
        QCOMPARE(probe.port_table().value(QStringLiteral("ttyNEW")), QStringLiteral("false"));
    }

    void boxes_tell_their_adapters()
    {
        QTemporaryDir dir;
        const QString device = dir.filePath(QStringLiteral("ttyACM4"));
        const QString link = dir.filePath(QStringLiteral("usb-Maker_Adapter_77-if00"));
        QFile node(device);
        QVERIFY(node.open(QIODevice::WriteOnly));
        node.close();
        QVERIFY(QFile::link(device, link));

        auto window = window_with_ports(QStringLiteral("COM9"));
        WindowProbe probe(*window);
        QCOMPARE(probe.check_box(0)->toolTip(), device_name(QStringLiteral("COM9")));

        AdapterDetails ftdi;
        ftdi.port_name = QStringLiteral("ttyUSB3");
        ftdi.system_location = QStringLiteral("/dev/ttyUSB3");
        ftdi.description = QStringLiteral("FT232R USB UART");
        ftdi.manufacturer = QStringLiteral("FTDI");
        ftdi.serial_number = QStringLiteral("A9XK2L");
        ftdi.vid_pid = QStringLiteral("0403:6001");
        AdapterDetails acm;
        acm.port_name = QStringLiteral("ttyACM4");
        acm.system_location = device;
        acm.description = QStringLiteral("Tessik Wi-Fi module");
        acm.vid_pid = QStringLiteral("2e8a:000a");
        AdapterDetails bare;
        bare.port_name = QStringLiteral("ttyS0");
        bare.system_location = QStringLiteral("/dev/ttyS0");
        probe.set_adapter_lister([=] { return QVector<AdapterDetails>{ftdi, acm, bare}; });
        const QStringList listed = {QStringLiteral("ttyUSB3"), QStringLiteral("/dev/ttyUSB3"), link,
                                    QStringLiteral("ttyS0"), QStringLiteral("COM9")};
        probe.set_port_lister([=] { return listed; });
        probe.poll_ports();

        QMap<QString, QString> tips;
        for (int row = 0; row < probe.port_table().size(); ++row)
            tips.insert(probe.check_box(row)->text(), probe.check_box(row)->toolTip());
        const QString ftdi_tip = QStringLiteral("FT232R USB UART\nFTDI\nSerial number A9XK2L\nVID:PID 0403:6001\n/dev/ttyUSB3");
        QCOMPARE(tips.value(QStringLiteral("ttyUSB3")), ftdi_tip);
        QCOMPARE(tips.value(QStringLiteral("/dev/ttyUSB3")), ftdi_tip); // by its system location
        QCOMPARE(tips.value(link), QStringLiteral("Tessik Wi-Fi module\nVID:PID 2e8a:000a\n") + link);
        QCOMPARE(tips.value(QStringLiteral("ttyS0")), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(tips.value(QStringLiteral("COM9")), device_name(QStringLiteral("COM9")));
    }

    void state_folder_follows_the_environment()
    {
        QTemporaryDir home;
        const QByteArray saved_home = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_STATE_HOME", "relative/state"); // not absolute: ignored
        auto window = window_with_ports(QString());
        WindowProbe probe(*window);
        qputenv("HOME", saved_home);
        qputenv("XDG_STATE_HOME", state.path().toUtf8());

        const QString folder = home.filePath(QStringLiteral(".local/state/tessik-update-tool"));
        QCOMPARE(probe.record_folder(), folder);
        probe.append_log(QStringLiteral("一行"));
        QCOMPARE(record_text(folder), probe.log_text());
    }

    void update_kept_in_the_daily_record()
    {
        QTemporaryDir record_home;
        qputenv("XDG_STATE_HOME", record_home.path().toUtf8());
        const QString folder = record_home.filePath(QStringLiteral("tessik-update-tool"));
        QVERIFY(QDir().mkpath(folder));
        QFile earlier(folder + QLatin1Char('/') + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))
                      + QStringLiteral(".log"));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write("an earlier line\n");
        earlier.close();

        UpdateRig rig;
        const QByteArray image = sample_image(2000);
        QVERIFY(run_update(rig, {}, image));
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        const QString name = rig.module().link();
        QVERIFY(rig.logged(name + QStringLiteral("对应设备升级成功")));
        rig.probe->append_log(QStringLiteral("after the run"));

        const QString text = record_text(folder);
        QVERIFY(text.startsWith(QStringLiteral("an earlier line\n")));
        const QString rest = text.mid(QStringLiteral("an earlier line\n").size());
        const int header_end = rest.indexOf(QLatin1Char('\n')) + 1;
        const QString header = rest.left(header_end);
        QVERIFY2(stamp.match(header).hasMatch(), qPrintable(header));
        const QString sha = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
        QCOMPARE(header.mid(header.indexOf(QStringLiteral(" :")) + 2),
                 QStringLiteral("update run: tessik-update-tool 1.0; image %1; 2000 bytes; SHA-256 %2; ports %3\n")
                     .arg(rig.dir.filePath(QStringLiteral("image.bin")), sha, name));
        // Then what the port was sent, as it read the image when it began.
        const int taken_end = rest.indexOf(QLatin1Char('\n'), header_end) + 1;
        const QString taken = rest.mid(header_end, taken_end - header_end);
        QVERIFY2(taken.endsWith(QStringLiteral(" :%1 image %2; 2000 bytes; SHA-256 %3\n")
                                    .arg(name, rig.dir.filePath(QStringLiteral("image.bin")), sha)),
                 qPrintable(taken));
        QCOMPARE(rest.mid(taken_end), rig.probe->log_text());
        QVERIFY(rig.probe->log_bodies().size() >= 3);
    }

    void unwritable_record_costs_one_warning()
    {
        // Under a regular file no folder can be made, whoever runs the test.
        QTemporaryDir dir;
        const QString blocker = dir.filePath(QStringLiteral("not-a-folder"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        qputenv("XDG_STATE_HOME", (blocker + QStringLiteral("/state")).toUtf8());

        UpdateRig rig;
        QVERIFY(rig.add_module({QStringLiteral("--app-baud"), QStringLiteral("115200")}));
        const QString errors = dir.filePath(QStringLiteral("stderr.txt"));
        bool ended = false;
        {
            StderrCapture capture(errors); // the module started before: its output is its own
            rig.open_window();
            rig.choose_image(sample_image(1000));
            rig.update_all();
            ended = wait_until([&] { return rig.probe->idle(); }, 60000);
            rig.probe->append_log(QStringLiteral("after the run"));
        }
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        QVERIFY(ended);

        const QString name = rig.module().link();
        QCOMPARE(rig.probe->log_bodies(),
                 QStringList({QStringLiteral("开始升级") + name + QStringLiteral("对应的设备......."),
                              name + QStringLiteral("对应设备升级成功"), QStringLiteral("after the run")}));
        QVERIFY(rig.probe->boxes.isEmpty());
        QVERIFY(rig.module().waitForFinished(5000));
        QCOMPARE(rig.module().outData(), rig.image);

        QFile captured(errors);
        QVERIFY(captured.open(QIODevice::ReadOnly));
        const QString warnings = QString::fromUtf8(captured.readAll());
        QCOMPARE(warnings.count(QStringLiteral("cannot write the update record")), 1);
        QVERIFY2(warnings.contains(blocker), qPrintable(warnings));
    }
};

QTEST_MAIN(TestWindowLive)
#include "test_window_live.moc"
