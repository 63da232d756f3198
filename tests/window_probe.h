#pragma once

// Test access to the window: its members and operations, and a recorder in
// place of the message boxes and the file dialog.

#include "app/mainwindow.h"
#include "app/modal_ui.h"
#include "serial/scan_thread.h"
#include "serial/serial_port.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <functional>

// Runs the event loop until done() holds or the time is up. Unlike QTRY_*
// (which sleeps 10 ms between rounds of events) the window's 1 ms timer
// runs at its own pace meanwhile.
inline bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(20);
    QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

struct ModalRecord
{
    QString kind; // "warning", "critical", "about", "open"
    QString title;
    QString text;
};

class RecordingModalUi : public ModalUi
{
public:
    explicit RecordingModalUi(QList<ModalRecord> &records) : records(records) {}
    QString next_file_name;

    void warning(QWidget *, const QString &title, const QString &text) override
    {
        records.append({QStringLiteral("warning"), title, text});
    }
    void critical(QWidget *, const QString &title, const QString &text) override
    {
        records.append({QStringLiteral("critical"), title, text});
    }
    void about(QWidget *, const QString &title, const QString &text) override
    {
        records.append({QStringLiteral("about"), title, text});
    }
    QString open_file_name(QWidget *, const QString &caption, const QString &directory,
                           const QString &filter) override
    {
        records.append({QStringLiteral("open"), caption, directory + QLatin1Char('|') + filter});
        return next_file_name;
    }

private:
    QList<ModalRecord> &records;
};

class WindowProbe
{
public:
    explicit WindowProbe(MainWindow &window) : w(window)
    {
        auto ui = std::make_unique<RecordingModalUi>(boxes);
        recorder = ui.get();
        w.set_modal_ui(std::move(ui));
    }

    QList<ModalRecord> boxes;
    RecordingModalUi *recorder = nullptr;

    // Members
    QMap<QString, QString> &port_table() { return w.port_table; }
    QString update_port(int i) const { return w.update_ports[i]; }
    int port_count() const { return w.port_count; }
    int current_port() const { return w.current_port; }
    QString &firmware_path() { return w.firmware_path; }
    qint64 total_bytes() const { return w.total_bytes; }
    bool image_open() const { return w.image_file != nullptr; }
    int app_damaged() const { return w.app_damaged; }
    int retry_count() const { return w.retry_count; }
    QString rate_text() const { return w.rate_text; }
    QString log_text() const { return w.log_text; }
    QTextEdit *log_view() const { return w.log_view; }
    QCheckBox *check_box(int row) const { return w.check_boxes[row]; }
    QLabel *progress_label(int row) const { return w.progress_labels[row]; }
    QPushButton *update_button() const { return w.update_button; }
    QPushButton *open_button() const { return w.open_button; }
    QLabel *tip_label() const { return w.tip_label; }
    QTimer *recv_timer() const { return w.recv_timer; }
    QTimer *xmodem_timer() const { return w.xmodem_timer; }
    QTimer *reset_timer() const { return w.reset_timer; }
    SerialPort *port() const { return w.port; }
    Thread *scan_thread() const { return w.scan_thread; }
    QByteArray last_frame() const { return w.last_frame; }
    int block_number() const { return w.block_number; }
    int xmodem_phase() const { return w.xmodem_phase; }

    // Operations
    void open_file() { w.open_file(); }
    void send_file() { w.send_file(); }
    int prepare_update() { return w.prepare_update(); }
    void append_log(const QString &body) { w.append_log(body); }
    quint8 open_update_port(quint8 index) { return w.open_update_port(index); }
    void set_update_port(int i, const QString &name) { w.update_ports[i] = name; }
    void set_rate_text(const QString &rate) { w.rate_text = rate; }
    void close_port() { w.close_port(); }
    void hand_over_to_sender() { w.hand_over_to_sender(); }

    // Ticks the box of the named port as the operator would.
    bool tick(const QString &name, bool on = true)
    {
        for (int row = 0; row < MainWindow::max_ports; ++row) {
            if (w.check_boxes[row] && w.check_boxes[row]->text() == name) {
                w.check_boxes[row]->setChecked(on);
                return true;
            }
        }
        return false;
    }

    bool has_box(const QString &kind, const QString &title, const QString &text) const
    {
        for (const ModalRecord &box : boxes) {
            if (box.kind == kind && box.title == title && box.text == text)
                return true;
        }
        return false;
    }

    // The bodies of the log lines, without their time stamps.
    QStringList log_bodies() const
    {
        QStringList bodies;
        for (const QString &line : w.log_text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            bodies << line.mid(line.indexOf(QStringLiteral(" :")) + 2);
        return bodies;
    }

    // True once a run has ended: "update" enabled and no timer or scan running.
    bool idle() const
    {
        return w.update_button->isEnabled() && !w.recv_timer->isActive() && !w.reset_timer->isActive()
               && !w.xmodem_timer->isActive();
    }

private:
    MainWindow &w;
};
