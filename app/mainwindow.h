#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <functional>
#include <memory>

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpacerItem;
class QTextEdit;
class QTimer;
class QVBoxLayout;
class SerialPort;
class Thread;
class ModalUi;

// The one window of the tool. It owns every piece of state of an update run;
// the port operations, the update control and the XMODEM sender are all
// members of this class, spread over the subsystem folders.
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

    // Called with every log line as it is appended (headless mode prints them).
    std::function<void(const QString &line)> log_listener;
    // Called with the port name and its progress text whenever a block goes out.
    std::function<void(const QString &port_name, const QString &text)> progress_listener;

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
    friend class HeadlessRun;

    // Port discovery and selection
    void load_port_table();
    void build_port_rows();
    void add_port_row(quint8 row, const QString &name);
    void set_row_ticked(int row, bool status);

    // Status log
    void append_log(const QString &body);

    // Firmware image
    int prepare_update();
    void close_image();

    // The window's serial port
    quint8 open_update_port(quint8 index);
    void send_cmd(const char *cmd, qint64 len);
    void write_bytes(const QByteArray &bytes);
    quint8 poll_ok_reply();
    void send_escape();
    void close_port();
    void send_update_request();

    // Update control
    void end_run();
    QString first_ticked_port() const;
    void release_finished_threads();

    // XMODEM framing and sender
    void send_block(const unsigned char *data, bool use_crc, quint8 block_number);
    int port_row(quint8 index) const;
    void hand_over_to_sender();
    void on_start_reply();
    void on_block_reply();
    void send_next_block();
    void send_eot();
    void write_eot();
    void on_eot_reply();
    void cancel_transfer();
    void finish_update();
    void fail_update();
    bool rewrite_last_frame();
    bool port_failed() const;

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

    // Timers: plain heap objects, deliberately without a parent
    QTimer *recv_timer = nullptr;
    QTimer *xmodem_timer = nullptr;
    QTimer *reset_timer = nullptr;

    // Port selection
    QMap<QString, QString> port_table;
    QString update_ports[max_ports];
    quint8 port_count = 0;
    quint8 current_port = 0;

    // Firmware file and transfer
    QString firmware_path;
    std::FILE *image_file = nullptr;
    qint64 total_bytes = 0;
    qint64 bytes_sent = 0;
    qint32 file_offset = 0;
    quint32 block_length = 0;
    quint8 block_number = 1;
    quint8 xmodem_phase = 0;
    quint8 use_crc = 1;
    unsigned char block_data[128] = {};
    QByteArray last_frame;

    // Bounds of the sender (milliseconds of the monotonic clock)
    qint64 phase_started_ms = 0;
    qint64 last_write_ms = 0;
    int frame_tries = 0;
    int eot_count = 0;

    // Update
    SerialPort *port = nullptr;
    QString rate_text;
    Thread *scan_thread = nullptr;
    QList<Thread *> scan_threads;
    quint8 app_damaged = 0;
    quint8 retry_count = 0;

    // Log
    QString log_text;

    std::unique_ptr<ModalUi> modal;
};
