#pragma once

#include "app/update_record.h"
#include "engine/outcome.h"
#include "platform/platform.h"
#include "records/run_recorder.h"

#include <QMainWindow>
#include <QMap>
#include <QRect>
#include <QString>
#include <cstdio>
#include <functional>
#include <memory>

class LanguageMenu;
class QAction;
class QCheckBox;
class QHBoxLayout;
class QLabel;
class QMenu;
class QPushButton;
class QTextEdit;
class QTimer;
class QVBoxLayout;
class RunEvents;
class HistoryWriter;
class ModalUi;
class PortUpdate;
class RunSession;
class StationView;
struct Image;
enum class RunMode;
enum class Language;

// The one window of the tool: the port rows, the log and the two buttons.
// "update" starts a RunSession over the ticked ports and the window shows
// what it reports: log lines, progress labels and boxes. While no update
// runs, the rows follow the serial ports that come and go; every log line
// is also kept in the day's update record on disk.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int max_ports = 8;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Message boxes and the file dialog go through this; tests install a recorder.
    ModalUi &modal_ui() const { return *modal; }
    void set_modal_ui(std::unique_ptr<ModalUi> ui);

    // Parallel mode: every ticked port is updated at once, shown as the
    // station view (a tile per port, any number of ports).
    void set_parallel(bool on);
    // With parallel mode: every ticked port updates module after module
    // until "update" is pressed again.
    void set_watch(bool on);
    // Where and under which names every port's end is recorded.
    void set_records(const RecordSettings &settings) { records = settings; }
    // --verify, --version-command, --id-command and --skip-done for every run.
    void set_checks(const CheckOptions &options, bool skip)
    {
        checks = options;
        skip_done = skip;
    }
    // SIGINT or SIGTERM: a run or a loop in progress is aborted (modules in
    // a transfer hear CAN CAN, every port's end is logged and recorded), then
    // the event loop ends with exit_status.
    void end_on_signal(int exit_status);
    // The language of every text, as the Language menu chooses it (app/language_menu.cpp).
    void use_language(Language language);

protected:
    void changeEvent(QEvent *event) override; // LanguageChange: retranslate()

private slots:
    void open_file();
    void send_file();
    void recv_bit();
    void recv_xmodem_bit();
    void check_reset();
    void check_box_status(bool status);
    void check_box_status1(bool status);
    void check_box_status2(bool status);
    void check_box_status3(bool status);
    void check_box_status4(bool status);
    void check_box_status5(bool status);
    void check_box_status6(bool status);
    void check_box_status7(bool status);
    void get_scan_result(bool, QString, quint8, quint8);

private:
    friend class WindowProbe; // test access to members and operations

    // Port discovery and selection
    void load_port_table();
    void build_port_rows();
    void add_port_row(quint8 row, const QString &name);
    void set_row_ticked(int row, bool status);
    int port_row(const QString &name) const;
    void poll_ports();
    void rebuild_port_rows(const QStringList &names);
    void remove_port_rows();
    QString port_tooltip(const QString &name) const;
    QString adapter_line(const QString &name) const;
    QCheckBox *box_of(const QString &name) const;
    void use_station_view();
    void fit_to_screen();

public:
    // Where the station view's window goes on a screen with this free area.
    static QRect station_geometry(const QRect &free);

private:

    // Status log
    void append_log(const QString &body);
    void record_run_start(const QStringList &ports);
    void record_history_of(RunEvents *started);
    bool start_recorder(); // false without history

    // Firmware image
    int prepare_update();
    void show_image_chosen();
    bool image_approved();
    void close_image();

    // Update run
    void start_run();
    void start_session(RunMode mode);
    QStringList run_ports() const;
    static QString reset_prompt_of(const QString &port);
    CheckOptions run_checks() const;
    void show_events_of(RunEvents *started);
    void end_run();
    void show_notice(NoticeKind kind, const QString &title, const QString &text);
    // "update" one port after another; in parallel and watch mode what a press does now.
    void name_update_button();
    QString first_ticked_port() const;
    PortUpdate *current_update() const;

    // History > Report...: today's yield report of this station
    void write_report();

    // Fixture loop
    void start_watch();
    bool watching() const;
    void show_units(const QString &port, const QString &progress);

    // Every fixed text again, in the language now in use; the labels of a
    // run's progress follow with its next report.
    void retranslate();

    // Widgets and layouts
    QWidget *central_widget = nullptr;
    QVBoxLayout *main_layout = nullptr;
    QVBoxLayout *tip_layout = nullptr;
    QLabel *tip_label = nullptr;
    QHBoxLayout *ports_layout = nullptr;
    QVBoxLayout *port_column = nullptr;
    QCheckBox *check_boxes[max_ports] = {};
    QLabel *progress_labels[max_ports] = {};
    QHBoxLayout *log_layout = nullptr;
    QTextEdit *log_view = nullptr;
    QHBoxLayout *button_layout = nullptr;
    QPushButton *open_button = nullptr;
    QPushButton *update_button = nullptr;
    StationView *station = nullptr; // in parallel mode, in place of the port rows
    QMenu *history_menu = nullptr;
    QAction *report_action = nullptr;
    LanguageMenu *language_menu = nullptr;

    // The slot table's timers; the update's own timers live in its engine,
    // these hand their ticks on to it.
    QTimer *recv_timer = nullptr;
    QTimer *xmodem_timer = nullptr;
    QTimer *reset_timer = nullptr;

    // Port selection
    QMap<QString, QString> port_table;
    QString update_ports[max_ports];
    quint8 port_count = 0;
    quint8 current_port = 0;

    // Port list watch; the listers are replaceable for tests.
    QTimer *port_watch_timer = nullptr;
    std::function<QStringList()> port_lister = list_port_names;
    std::function<QVector<AdapterDetails>()> adapter_lister = list_adapter_details;
    QVector<AdapterDetails> adapters; // as listed when the rows were last built

    // Firmware file, measured when "update" is pressed
    QString firmware_path;
    std::FILE *image_file = nullptr;
    qint64 total_bytes = 0;

    std::unique_ptr<RunSession> session; // a pass over the ports or a fixture loop
    bool parallel = false;
    bool watch = false;
    int exit_status_after_run = -1; // set by a signal

    // Log
    QString log_text;
    UpdateRecord record;
    RecordSettings records;
    QMap<QString, int> adapter_latencies; // per port: its adapter's latency timer at its last open
    CheckOptions checks;
    bool skip_done = false;
    std::unique_ptr<HistoryWriter> history;
    std::unique_ptr<RunRecorder> recorder;

    std::unique_ptr<ModalUi> modal;
    ReleaseApproval release; // with a trusted key: what allowed the image of this press
    // With a trusted key, the bytes approved: every port sends exactly them.
    std::shared_ptr<const Image> approved_image;
};
