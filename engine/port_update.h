#pragma once

#include "engine/clock.h"
#include "engine/outcome.h"
#include "protocol/ok_reply.h"
#include "protocol/wire.h"
#include "serial/transport.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdio>
#include <functional>
#include <memory>

class QTimer;
class Thread;

enum class XmodemPhase : quint8 {
    start = 0, // waiting for the receiver's 'C' or NAK
    block = 1, // a block is outstanding
    eot = 2,   // the EOT is outstanding
};

using TransportFactory = std::function<std::unique_ptr<Transport>(const QString &device)>;

struct UpdateOptions
{
    Clock *clock = nullptr;            // null: a steady clock of the update's own
    TransportFactory open_transport;   // null: the system's serial port
    QString device;                    // empty: the device of the port's name
    bool name_every_line = false;      // parallel runs: every line and box names its port
    bool explain_open_failure = false; // a log line says why a port did not open
    int open_pause_ms = wire::open_pause_ms;
    int reboot_pause_ms = wire::reboot_pause_ms;
};

// One port's update from start to end: baud-rate scan, opening the port,
// "+++" and reboot or the reset handshake, the XMODEM transfer, the result.
// It owns its port, its timers, its open image and its sender state, shows
// nothing and reports through its signals only. Nothing in it blocks for
// longer than a write: the pauses are timers.
class PortUpdate : public QObject
{
    Q_OBJECT

public:
    PortUpdate(const QString &port_name, const QString &firmware_path, UpdateOptions options = {},
               QObject *parent = nullptr);
    ~PortUpdate() override;

    const QString &port_name() const { return name; }
    bool running() const { return stage != Stage::idle && stage != Stage::ended; }

    // For a boot loader that already waits for the image (tests, the
    // fuzzer): prepares the image, opens the port at 115200 and hands over
    // to the sender, without the scan and the handshake. 0 when started.
    int start_with_boot_loader_ready();

    // Cancels a transfer in progress (CAN CAN), closes everything and ends
    // as failed with `aborted`. Nothing happens once the update has ended.
    void abort();

    // Reopens and measures the image and resets the transfer state; 0 when
    // the image is ready, 1 when it cannot be read.
    int prepare_update();

    // State, for front ends and tests.
    qint64 total_bytes() const { return image_size; }
    qint64 bytes_sent() const { return sent_bytes; }
    QByteArray last_frame() const { return frame; }
    quint8 block_number() const { return next_block_number; }
    XmodemPhase xmodem_phase() const { return phase; }
    quint8 retry_count() const { return retries; }
    quint8 app_damaged() const { return damaged; }
    QString rate_text() const { return found_rate; }
    bool image_open() const { return image_file != nullptr; }
    bool waiting() const; // a timer or the scan is running
    const QTimer *recv_poll_timer() const { return recv_timer; }
    const QTimer *xmodem_poll_timer() const { return xmodem_timer; }
    const QTimer *reset_poll_timer() const { return reset_timer; }
    bool scanning() const { return stage == Stage::scanning; }
    Transport *port() const { return link.get(); }

signals:
    void log_line(const QString &body);
    void progress(const QString &text, qint64 bytes_sent, qint64 total_bytes);
    void notice(NoticeKind kind, const QString &title, const QString &text);
    void rate_found(int baud);
    void reset_needed();
    void finished(PortResult result, FailReason reason);

public slots:
    // Starts the update: prepares the image, then scans for the module's rate.
    void send_file();
    void get_scan_result(bool found, QString rate, quint8 open_failed, quint8 mode);
    void recv_bit();
    void check_reset();
    void recv_xmodem_bit();

private:
    enum class Stage {
        idle,
        scanning,
        opening,
        waiting_ok,
        rebooting,
        waiting_boot_loader,
        transferring,
        ended,
    };

    // The port
    quint8 open_update_port();
    void send_cmd(const QByteArray &cmd);
    void write_bytes(const QByteArray &bytes);
    quint8 poll_ok_reply();
    void send_escape();
    void close_port();
    void send_update_request();
    bool port_failed() const;

    // Update control
    void after_open_pause_step();
    void after_reboot_pause();
    void hand_over_to_sender();
    void stop_scan();

    // Sender
    void on_start_reply();
    void on_block_reply();
    void on_eot_reply();
    void on_input();
    void send_next_block();
    void after_duplicate_settle();
    void send_block(const unsigned char *data, bool use_crc, quint8 number);
    void send_eot();
    void write_eot();
    bool rewrite_last_frame(FailReason reason_past_limit);
    void finish_update();
    void cancel_transfer(FailReason reason);
    void fail_update(FailReason reason);
    void end(PortResult result, FailReason reason);
    void close_image();

    void log(const QString &body);
    void log_port(const QString &message);
    void tell(NoticeKind kind, const QString &title, const QString &text);
    qint64 now_ms() const { return clock->now_ms(); }
    void pause_then(int ms, void (PortUpdate::*step)());

    const QString name;
    const QString firmware_path;
    UpdateOptions options;
    SteadyClock own_clock;
    Clock *clock;

    Stage stage = Stage::idle;
    std::unique_ptr<Transport> link;
    QPointer<Thread> scan_thread;
    OpenFailure scan_open_failure = OpenFailure::none;
    QTimer *recv_timer;
    QTimer *xmodem_timer;
    QTimer *reset_timer;
    QTimer *pause_timer;
    void (PortUpdate::*after_pause)() = nullptr;
    quint8 opened_result = 1;

    QString found_rate;
    quint8 damaged = 0;
    quint8 retries = 0;
    OkReplyState ok_state;

    std::FILE *image_file = nullptr;
    qint64 image_size = 0;
    qint64 sent_bytes = 0;
    qint64 file_offset = 0;
    quint32 block_length = 0;
    quint8 next_block_number = 1;
    XmodemPhase phase = XmodemPhase::start;
    quint8 use_crc = 1;
    unsigned char block_data[128] = {};
    QByteArray frame;

    // Bounds of the sender (milliseconds of the clock)
    qint64 phase_started_ms = 0;
    qint64 last_write_ms = 0;
    int frame_tries = 0;
    int eot_count = 0;
    bool in_reply = false;
    // Block 1 was written again for a start character that crossed it: the
    // receiver may acknowledge both copies.
    bool duplicate_ack_possible = false;
};
