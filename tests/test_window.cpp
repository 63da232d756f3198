// The window shell: texts and layout, the log, the port list and ticks,
// choosing the image and preparing an update.

#include "records/history_store.h"
#include "window_probe.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>

namespace {

std::unique_ptr<MainWindow> window_with_ports(const QString &ports)
{
    qputenv("TESSIK_EXTRA_PORTS", ports.toUtf8());
    return std::make_unique<MainWindow>();
}

QString write_file(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(data);
    return path;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void texts_and_layout()
    {
        auto window = window_with_ports(QStringLiteral("COM1"));
        WindowProbe probe(*window);
        QCOMPARE(window->windowTitle(), QStringLiteral("Tessik Update Tool V1.0"));
        QCOMPARE(window->geometry(), QRect(600, 100, 500, 400));
        QCOMPARE(probe.open_button()->text(), QStringLiteral("open file"));
        QCOMPARE(probe.update_button()->text(), QStringLiteral("update"));
        QCOMPARE(probe.tip_label()->text(), QStringLiteral("Please select upgrade equipment serial port:"));

        // Top to bottom: prompt, ports, log, buttons.
        auto *main_layout = qobject_cast<QVBoxLayout *>(window->centralWidget()->layout());
        QVERIFY(main_layout);
        QCOMPARE(main_layout->count(), 4);
        auto *tip = main_layout->itemAt(0)->layout();
        QCOMPARE(tip->count(), 3);
        QVERIFY(tip->itemAt(0)->spacerItem());
        QCOMPARE(tip->itemAt(1)->widget(), static_cast<QWidget *>(probe.tip_label()));
        QVERIFY(main_layout->itemAt(1)->layout()->itemAt(0)->layout()); // a port column
        QCOMPARE(main_layout->itemAt(2)->layout()->itemAt(0)->widget(), static_cast<QWidget *>(probe.log_view()));
        auto *buttons = main_layout->itemAt(3)->layout();
        QCOMPARE(buttons->itemAt(0)->widget(), static_cast<QWidget *>(probe.open_button()));
        QVERIFY(buttons->itemAt(1)->spacerItem());
        QCOMPARE(buttons->itemAt(2)->widget(), static_cast<QWidget *>(probe.update_button()));
        QVERIFY(buttons->itemAt(3)->spacerItem());

        QCOMPARE(probe.recv_timer()->interval(), 300);
        QVERIFY(!probe.recv_timer()->isActive() && !probe.xmodem_timer()->isActive()
                && !probe.reset_timer()->isActive());
        QVERIFY(!probe.recv_timer()->isSingleShot());
        QVERIFY(probe.recv_timer()->parent() == nullptr);
    }

    void no_ports_no_row()
    {
        auto window = window_with_ports(QString());
        auto *main_layout = window->centralWidget()->layout();
        QCOMPARE(main_layout->count(), 3);
    }

    void log_lines_accumulate()
    {
        auto window = window_with_ports(QString());
        WindowProbe probe(*window);
        probe.append_log(QStringLiteral("first"));
        probe.log_view()->setPlainText(QStringLiteral("typed by the operator"));
        probe.append_log(QStringLiteral("COM3对应设备升级成功"));

        const QStringList lines = probe.log_text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.last().isEmpty());
        const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\S+ :"));
        QVERIFY(stamp.match(lines[0]).hasMatch());
        QVERIFY(lines[0].endsWith(QStringLiteral(" :first")));
        QVERIFY(lines[1].endsWith(QStringLiteral(" :COM3对应设备升级成功")));
        QCOMPARE(probe.log_view()->toPlainText(), probe.log_text());
    }

    // Whether the log is refreshed whole (one port after another) or line by
    // line (parallel), its newest line is in view.
    void the_newest_log_line_is_in_view()
    {
        for (const bool parallel : {false, true}) {
            auto window = window_with_ports(QString());
            window->set_parallel(parallel);
            WindowProbe probe(*window);
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            for (int i = 0; i < 200; ++i)
                probe.append_log(QStringLiteral("line %1").arg(i));
            QScrollBar *bar = probe.log_view()->verticalScrollBar();
            QVERIFY(bar->maximum() > 0);
            QCOMPARE(bar->value(), bar->maximum());
            QTextCursor last(probe.log_view()->document());
            last.movePosition(QTextCursor::End);
            last.movePosition(QTextCursor::PreviousBlock); // the newest line (the text ends in a line break)
            QVERIFY(probe.log_view()->viewport()->rect().contains(probe.log_view()->cursorRect(last)));
            QCOMPARE(probe.log_view()->toPlainText(), probe.log_text());
        }
    }

    void ports_in_string_order()
    {
        auto window = window_with_ports(QStringLiteral("COM2:COM10:COM1:COM10"));
        WindowProbe probe(*window);
        QCOMPARE(probe.port_table().keys(),
                 QStringList({QStringLiteral("COM1"), QStringLiteral("COM10"), QStringLiteral("COM2")}));
        QCOMPARE(probe.check_box(0)->text(), QStringLiteral("COM1"));
        QCOMPARE(probe.check_box(1)->text(), QStringLiteral("COM10"));
        QCOMPARE(probe.check_box(2)->text(), QStringLiteral("COM2"));
        QVERIFY(probe.check_box(3) == nullptr);
    }

    void ticks_follow_the_boxes()
    {
        auto window = window_with_ports(QStringLiteral("COM1:COM2:COM3"));
        WindowProbe probe(*window);
        QTest::ignoreMessage(QtDebugMsg, "status1 =  true");
        probe.check_box(1)->setChecked(true);
        QCOMPARE(probe.port_table().value(QStringLiteral("COM2")), QStringLiteral("true"));
        QTest::ignoreMessage(QtDebugMsg, "status1 =  false");
        probe.check_box(1)->setChecked(false);
        QCOMPARE(probe.port_table().value(QStringLiteral("COM2")), QStringLiteral("false"));
        for (int i = 0; i < 5; ++i)
            probe.check_box(2)->toggle();
        QCOMPARE(probe.port_table().value(QStringLiteral("COM3")), QStringLiteral("true"));
    }

    void ninth_port_is_shown_but_never_selected()
    {
        QStringList names;
        for (int i = 1; i <= 9; ++i)
            names << QStringLiteral("ttyS%1").arg(i);
        auto window = window_with_ports(names.join(QLatin1Char(':')));
        WindowProbe probe(*window);
        const QList<QCheckBox *> boxes = window->findChildren<QCheckBox *>();
        QCOMPARE(boxes.size(), 9);
        QCheckBox *ninth = nullptr;
        for (QCheckBox *box : boxes) {
            if (box->text() == QLatin1String("ttyS9"))
                ninth = box;
        }
        QVERIFY(ninth);
        ninth->setChecked(true);
        QCOMPARE(probe.port_table().value(QStringLiteral("ttyS9")), QStringLiteral("false"));

        QTemporaryDir dir;
        probe.firmware_path() = write_file(dir.filePath(QStringLiteral("a.bin")), "x");
        probe.tick(QStringLiteral("ttyS8"));
        QCOMPARE(probe.prepare_update(), 0);
        QCOMPARE(probe.port_count(), 1);
        QCOMPARE(probe.update_port(0), QStringLiteral("ttyS8"));
    }

    void prepare_update_lists_ticked_ports()
    {
        auto window = window_with_ports(QStringLiteral("COM5:COM1:COM3"));
        WindowProbe probe(*window);
        QTemporaryDir dir;
        probe.firmware_path() = write_file(dir.filePath(QStringLiteral("image.bin")), QByteArray(300, 'a'));
        probe.progress_label(1)->setText(QStringLiteral("完成:42%"));

        QCOMPARE(probe.prepare_update(), 0);
        QCOMPARE(probe.port_count(), 0);
        QVERIFY(probe.update_port(0).isEmpty());
        QVERIFY(probe.progress_label(1)->text().isEmpty());

        probe.tick(QStringLiteral("COM3"));
        probe.tick(QStringLiteral("COM5"));
        QCOMPARE(probe.prepare_update(), 0);
        QCOMPARE(probe.total_bytes(), 300);
        QCOMPARE(probe.port_count(), 2);
        QCOMPARE(probe.update_port(0), QStringLiteral("COM3"));
        QCOMPARE(probe.update_port(1), QStringLiteral("COM5"));
        QVERIFY(probe.update_port(2).isEmpty());
        QCOMPARE(probe.app_damaged(), 0);
        QCOMPARE(probe.retry_count(), 0);
        QCOMPARE(probe.block_number(), 1);
        QCOMPARE(probe.xmodem_phase(), 0);
    }

    void prepare_update_image_cases()
    {
        auto window = window_with_ports(QStringLiteral("COM1"));
        WindowProbe probe(*window);
        QTemporaryDir dir;

        probe.firmware_path() = write_file(dir.filePath(QStringLiteral("empty.bin")), QByteArray());
        QCOMPARE(probe.prepare_update(), 0);
        QCOMPARE(probe.total_bytes(), 0);

        const QString chinese = dir.filePath(QStringLiteral("固件/模块 升级.bin"));
        QVERIFY(QDir().mkpath(QFileInfo(chinese).path()));
        probe.firmware_path() = write_file(chinese, QByteArray(1000, 'z'));
        QCOMPARE(probe.prepare_update(), 0);
        QCOMPARE(probe.total_bytes(), 1000);
        QVERIFY(probe.image_open());

        probe.firmware_path() = dir.filePath(QStringLiteral("missing.bin"));
        QCOMPARE(probe.prepare_update(), 1);
        QVERIFY(!probe.image_open()); // the earlier handle was closed, no new one

        const QString doomed = write_file(dir.filePath(QStringLiteral("doomed.bin")), "abc");
        probe.firmware_path() = doomed;
        QVERIFY(QFile::remove(doomed));
        QCOMPARE(probe.prepare_update(), 1);

        probe.firmware_path() = dir.path();
        QCOMPARE(probe.prepare_update(), 1);
        QVERIFY(!probe.image_open());
    }

    void open_file_chosen_and_cancelled()
    {
        auto window = window_with_ports(QString());
        WindowProbe probe(*window);
        probe.recorder->next_file_name = QStringLiteral("/tmp/fw.bin");
        probe.open_file();
        QCOMPARE(probe.firmware_path(), QStringLiteral("/tmp/fw.bin"));
        QCOMPARE(probe.boxes.size(), 2);
        QCOMPARE(probe.boxes[0].kind, QStringLiteral("open"));
        QCOMPARE(probe.boxes[0].title, QStringLiteral("Open Bin"));
        QCOMPARE(probe.boxes[0].text, QStringLiteral(".|Bin(*.bin)"));
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("提示"), QStringLiteral("打开升级文件成功")));

        probe.recorder->next_file_name.clear();
        probe.open_file();
        QVERIFY(probe.firmware_path().isEmpty());
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("警告"), QStringLiteral("打开升级文件失败")));
    }

    // The Language menu switches the boxes' words and the fixed texts at once.
    void language_menu_switches_at_run_time()
    {
        auto window = window_with_ports(QString());
        WindowProbe probe(*window);
        QMap<QString, QAction *> entries;
        for (QAction *menu : window->menuBar()->actions())
            for (QAction *entry : menu->menu()->actions())
                entries.insert(entry->text(), entry);
        QVERIFY(entries.contains(QStringLiteral("中文")) && entries.contains(QStringLiteral("English")));
        probe.update_button()->setText(QStringLiteral("stale"));
        entries[QStringLiteral("English")]->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
        QCOMPARE(probe.update_button()->text(), QStringLiteral("update"));
        probe.open_file();
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("Warning"),
                              QStringLiteral("Failed to open the update file")));
        entries[QStringLiteral("中文")]->trigger();
        probe.open_file();
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("警告"), QStringLiteral("打开升级文件失败")));
        QVERIFY(entries[QStringLiteral("中文")]->isChecked() && !entries[QStringLiteral("English")]->isChecked());
    }

    void update_refused_without_file_or_port()
    {
        auto window = window_with_ports(QStringLiteral("COM1"));
        WindowProbe probe(*window);
        probe.send_file();
        QCOMPARE(probe.boxes.size(), 1);
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("Waring"), QStringLiteral("Please Selcet File")));
        QVERIFY(probe.update_button()->isEnabled());

        QTemporaryDir dir;
        probe.firmware_path() = write_file(dir.filePath(QStringLiteral("a.bin")), "abc");
        probe.send_file();
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("waring"), QStringLiteral("please select com")));
        QVERIFY(!probe.scanning());
        QVERIFY(probe.update_button()->isEnabled());
    }

    void image_gone_ends_the_update_cleanly()
    {
        auto window = window_with_ports(QStringLiteral("COM1"));
        WindowProbe probe(*window);
        QTemporaryDir dir;
        const QString path = write_file(dir.filePath(QStringLiteral("a.bin")), "abc");
        probe.firmware_path() = path;
        probe.tick(QStringLiteral("COM1"));
        QVERIFY(QFile::remove(path));
        probe.send_file();
        QVERIFY(probe.has_box(QStringLiteral("warning"), QStringLiteral("警告"), QStringLiteral("打开升级文件失败")));
        QCOMPARE(probe.log_bodies(), QStringList({QStringLiteral("COM1打开升级文件失败")}));
        QVERIFY(!probe.scanning());
        QVERIFY(probe.update_button()->isEnabled());
        QCOMPARE(probe.current_port(), 0);
    }

    // With a trusted key, an image that no signed release lists is refused
    // before any port is touched, and the window says why.
    void an_image_no_signed_release_allows_is_refused()
    {
        auto window = window_with_ports(QStringLiteral("COM1"));
        WindowProbe probe(*window);
        QTemporaryDir dir;
        const QByteArray key_bytes = QByteArrayLiteral("Ed") + QByteArray(8, '\x01') + QByteArray(32, '\x02');
        RecordSettings settings;
        settings.enabled = false;
        settings.trusted_key = write_file(dir.filePath(QStringLiteral("team.pub")),
                                          "untrusted comment: minisign public key 101010101010101\n"
                                              + key_bytes.toBase64() + "\n");
        settings.manifest =
            write_file(dir.filePath(QStringLiteral("manifest.json")), R"({"release": "1", "images": []})");
        window->set_records(settings);
        probe.firmware_path() = write_file(dir.filePath(QStringLiteral("a.bin")), "abc");
        probe.tick(QStringLiteral("COM1"));
        probe.send_file();
        QCOMPARE(probe.boxes.size(), 1);
        QCOMPARE(probe.boxes.first().kind, QStringLiteral("critical"));
        QVERIFY2(probe.boxes.first().text.contains(QLatin1String("not approved for flashing")),
                 qPrintable(probe.boxes.first().text));
        QVERIFY(probe.log_text().contains(QLatin1String("No port was touched")));
        QVERIFY(!probe.run() && !probe.scanning());
        QVERIFY(probe.update_button()->isEnabled());
    }

    // History > Report...: today's rows of this station, nobody else's.
    void the_report_of_today_for_this_station()
    {
        auto window = window_with_ports(QStringLiteral("COM1"));
        WindowProbe probe(*window);
        QTemporaryDir dir;
        RecordSettings settings;
        settings.db_path = dir.filePath(QStringLiteral("h.sqlite"));
        settings.station = QStringLiteral("here");
        window->set_records(settings);
        QAction *report = nullptr;
        for (QAction *menu : window->menuBar()->actions()) {
            for (QAction *entry : menu->menu()->actions())
                report = entry->text() == QStringLiteral("Report…") ? entry : report;
        }
        QVERIFY(report);
        report->trigger();
        QCOMPARE(probe.boxes.size(), 1); // no history yet
        QCOMPARE(probe.boxes.first().kind, QStringLiteral("warning"));

        HistoryStore store(settings.db_path);
        const QString now = utc_text(QDateTime::currentDateTimeUtc());
        const char *const given[][3] = {{"here", "ok", ""}, {"here", "failed", ""}, {"there", "ok", ""},
                                        {"here", "ok", "2025-01-01T10:00:00.000Z"}};
        for (const auto &each : given) {
            HistoryRow row;
            row.station = each[0];
            row.result = each[1];
            row.started_utc = row.ended_utc = *each[2] ? QString(each[2]) : now;
            row.port = QStringLiteral("COM1");
            row.attempt = 1;
            QVERIFY(store.append(row));
        }
        probe.recorder->next_file_name = dir.filePath(QStringLiteral("today.html"));
        report->trigger();
        QCOMPARE(probe.boxes.last().kind, QStringLiteral("save"));
        QVERIFY(probe.boxes.last().text.contains(QLatin1String("yield-here-")));
        QFile page(probe.recorder->next_file_name);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray html = page.readAll();
        QVERIFY(html.contains(R"("units":2,)") && html.contains(R"("failed":1,)") && html.contains(R"("rows_total":2,)"));
        QVERIFY2(probe.log_text().contains(QLatin1String("(2 units, 1 ok, 1 failed)")), qPrintable(probe.log_text()));
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
