#pragma once

// Test access to the window: its members and operations, and a recorder in
// place of the message boxes and the file dialog.

#include "app/mainwindow.h"
#include "app/modal_ui.h"
#include "app/station_view.h"
#include "engine/run_session.h"
#include "serial/serial_port.h"

#include "wait_until.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <functional>

struct ModalRecord
{
    QString kind; // "warning", "critical", "about", "open", "save"
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
    QString save_file_name(QWidget *, const QString &caption, const QString &suggested,
                           const QString &filter) override
    {
        records.append({QStringLiteral("save"), caption, suggested + QLatin1Char('|') + filter});
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

    // Members of the window
    QMap<QString, QString> &port_table() { return w.port_table; }
    QString update_port(int i) const { return w.update_ports[i]; }
    int port_count() const { return w.port_count; }
    int current_port() const { return w.current_port; }
    QString &firmware_path() { return w.firmware_path; }
    qint64 total_bytes() const { return w.total_bytes; }
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
    UpdateRun *run() const { return w.session ? w.session->pass() : nullptr; }
    QVBoxLayout *main_layout() const { return w.main_layout; }
    QHBoxLayout *ports_layout() const { return w.ports_layout; }
    QTimer *port_watch_timer() const { return w.port_watch_timer; }
    StationView *station() const { return w.station; }
    QString record_folder() const { return w.record.folder(); }
    void set_port_lister(std::function<QStringList()> lister) { w.port_lister = std::move(lister); }
    void set_adapter_lister(std::function<QVector<AdapterDetails>()> lister)
    {
        w.adapter_lister = std::move(lister);
    }

    // The update of the port being updated (or the last one), null before a run.
    PortUpdate *update() const { return w.current_update(); }
    bool image_open() const { return update() ? update()->image_open() : w.image_file != nullptr; }
    int app_damaged() const { return update() ? update()->app_damaged() : 0; }
    int retry_count() const { return update() ? update()->retry_count() : 0; }
    QString rate_text() const { return update() ? update()->rate_text() : QString(); }
    Transport *port() const { return update() ? update()->port() : nullptr; }
    bool scanning() const { return update() && update()->scanning(); }
    QByteArray last_frame() const { return update() ? update()->last_frame() : QByteArray(); }
    int block_number() const { return update() ? update()->block_number() : 1; }
    int xmodem_phase() const { return update() ? int(update()->xmodem_phase()) : 0; }
    bool xmodem_active() const { return update() && update()->transferring(); }
    bool reset_active() const { return update() && update()->waiting_for_boot_loader(); }

    // Operations
    void open_file() { w.open_file(); }
    void send_file() { w.send_file(); }
    int prepare_update() { return w.prepare_update(); }
    void append_log(const QString &body) { w.append_log(body); }
    void poll_ports() { w.poll_ports(); }

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

    // True once a run has ended: "update" enabled and nothing of it still waiting.
    bool watching() const { return w.watching(); }
    bool idle() const
    {
        return w.update_button->isEnabled() && !(w.session && w.session->pass() && w.session->running())
               && !(update() && update()->waiting());
    }

private:
    MainWindow &w;
};
