#pragma once

#include "engine/boot_check.h"
#include "engine/check_options.h"
#include "engine/clock.h"
#include "engine/handshake.h"
#include "engine/image.h"
#include "engine/outcome.h"
#include "engine/reset_ladder.h"
#include "engine/xmodem_sender.h"
#include "protocol/wire.h"
#include "serial/transport.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QProcess;
class QTimer;
class Thread;

struct UpdateOptions
{
    Clock *clock = nullptr;            // null: a steady clock of the update's own
    TransportFactory open_transport;   // null: the system's serial port
    QString device;                    // empty: the device of the port's name
    bool name_every_line = false;      // parallel runs: every line and box names its port
    bool explain_open_failure = false; // a log line says why a port did not open
    // The application's rate when it is known already (--baud, or the
    // fixture's probe that found the module): no scan; 0: the scan finds it.
    int known_rate = 0;
    bool low_latency = true; // asked of the driver on every open; false: as the driver has it
    // The fixture's probe found the application dead (its reset brought up
    // the boot loader): no scan, the reset ladder at once.
    bool known_dead = false;
    int open_pause_ms = wire::open_pause_ms;
    int reboot_pause_ms = wire::reboot_pause_ms;
    // The bytes to send, read once by the caller; null: the port reads its
    // file when it begins.
    std::shared_ptr<const Image> image;
    CheckOptions checks;
    // How a fixture resets a module whose application does not answer,
    // before the operator is asked; empty: the operator at once.
    ResetOptions reset;
};

// One port's update from start to end: baud-rate scan, opening the port,
// the handshake into the boot loader, the XMODEM transfer, the result. The
// handshake and the sender are state machines; this owns the port, the
// image's bytes and one timer armed for the machines' next deadline, feeds
// them the module's bytes as they arrive, and ends in one place. It shows
// nothing and reports through its signals only.
class PortUpdate : public QObject, private HandshakeHost
{
    Q_OBJECT

public:
    PortUpdate(const QString &port_name, const QString &firmware_path, UpdateOptions options = {},
               QObject *parent = nullptr);
    // A transfer still going is cancelled (CAN CAN) before the port closes.
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

    // Takes the image (reads the file, or the bytes given in the options)
    // and resets the transfer state; 0 when the image is ready, 1 when not.
    int prepare_update();

    // State, for front ends and tests.
    qint64 total_bytes() const { return image_size; }
    qint64 bytes_sent() const { return sender ? sender->bytes_sent() : 0; }
    QByteArray last_frame() const { return sender ? sender->last_frame() : QByteArray(); }
    quint8 block_number() const; // of the next block to go out
    XmodemPhase xmodem_phase() const { return sender ? sender->phase() : XmodemPhase::start; }
    quint8 retry_count() const { return handshake ? handshake->retry_count() : 0; }
    quint8 app_damaged() const { return damaged; }
    QString rate_text() const { return found_rate; }
    bool image_open() const { return image != nullptr; } // held until the update ends
    std::shared_ptr<const Image> image_sent() const { return taken; }
    bool waiting() const; // the timer or the scan is running
    bool scanning() const { return stage == Stage::scanning; }
    bool transferring() const { return stage == Stage::transferring; }
    bool waiting_for_boot_loader() const;
    Transport *port() const { return link.get(); }

signals:
    void log_line(const QString &body);
    void progress(const QString &text, qint64 bytes_sent, qint64 total_bytes);
    void notice(NoticeKind kind, const QString &title, const QString &text);
    void rate_found(int baud);
    void reset_needed();
    // A rung of the reset ladder begins: "line" (the sequence) or "command".
    void resetting(const QString &by);
    void image_taken(const QString &path, qint64 bytes, const QString &sha256);
    void module_identified(const QString &module_id);
    // Just before finished(): what this attempt found out.
    void facts_known(const PortFacts &facts);
    // Once the port is open for the handshake: its adapter's latency timer
    // (-1: unknown) and whether the driver took low latency.
    void latency_known(int timer_ms, bool low_latency);
    void finished(PortResult result, FailReason reason);

public slots:
    // Starts the update: prepares the image, then scans for the module's rate.
    void send_file();
    void get_scan_result(bool found, QString rate, quint8 open_failed, quint8 mode);
    // The steps of the handshake and the transfer: each reads what the
    // module sent and runs what is due (the timer and the port call them).
    void recv_bit() { service(); }
    void check_reset() { service(); }
    void recv_xmodem_bit() { service(); }

private:
    enum class Stage {
        idle,
        scanning,
        open_failed, // pausing before the failure, as after an open
        resetting,   // a rung of the reset ladder: the line sequence or the command
        handshake,
        transferring,
        checking, // the boot check after the transfer
        ended,
    };

    // HandshakeHost
    void write_command(const QByteArray &bytes) override;
    void set_rate(int baud) override;
    IdentityVerdict identified(const QByteArray &module_id) override;

    quint8 open_update_port();
    void write_bytes(const QByteArray &bytes);
    void close_port();
    bool port_failed() const;
    void stop_scan();
    void image_failed();
    void open_failed();
    static FailReason reason_for(OpenFailure failure);

    void start_rung(qint64 now);
    void step_reset(qint64 now);
    void await_boot_loader(qint64 now);
    bool climb_ladder(qint64 now);
    bool start_ladder_unscanned(qint64 now);
    void start_reset_command(qint64 now);
    bool reset_command_over(qint64 now);
    ResetFields reset_fields() const;

    void service();
    void step_handshake(const QByteArray &input, qint64 now);
    void hand_over(qint64 now);
    void step_sender(const QByteArray &input, qint64 now);
    void transferred(qint64 now);
    void step_boot_check(const QByteArray &input, qint64 now);
    void leave_in_application();
    PortFacts facts(PortResult result) const;
    void arm();
    void fail(FailReason reason);
    void end(PortResult result, FailReason reason);

    void log(const QString &body);
    void log_port(const QString &message);
    void tell(NoticeKind kind, const QString &title, const QString &text);
    qint64 now_ms() const { return clock->now_ms(); }

    const QString name;
    const QString firmware_path;
    UpdateOptions options;
    SteadyClock own_clock;
    Clock *clock;

    Stage stage = Stage::idle;
    std::unique_ptr<Transport> link;
    QPointer<Thread> scan_thread;
    OpenFailure scan_open_failure = OpenFailure::none;
    QTimer *deadline_timer;
    qint64 timer_due_ms = 0; // when the running timer fires
    qint64 open_failed_until_ms = 0;
    bool in_service = false;

    QString found_rate;
    quint8 damaged = 0;
    int latency_ms = -1;                // the adapter's latency timer, once the port opened
    std::shared_ptr<const Image> image; // while the update runs
    std::shared_ptr<const Image> taken; // what this update sends or sent
    QString image_message;
    qint64 image_size = 0;
    qint64 progress_shown = 0;
    qint64 percent_shown = -1;
    std::unique_ptr<Handshake> handshake;
    std::unique_ptr<XmodemSender> sender;
    std::unique_ptr<BootCheck> boot_check;
    QString module_id;

    QVector<ResetRung> rungs; // of a module found dead; empty otherwise
    int rung_at = -1;
    std::unique_ptr<LineSequenceRun> line_run;
    QPointer<QProcess> reset_process;
    qint64 reset_command_due_ms = 0;
    QString reset_by; // the rung after which the boot loader answered
};
