#pragma once

#include "engine/port_update.h"
#include "engine/reset_ladder.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>
#include <memory>

class QTimer;

// What a probe heard at one rate.
enum class ProbeReply {
    none,        // nothing that tells of a module
    application, // "OK": the application answered "+++"
    boot_loader, // 'C' at the boot loader's rate: a boot loader asking for the image
};

ProbeReply classify_probe_reply(const QByteArray &reply, int baud);

struct ProbeOptions
{
    TransportFactory open_transport; // null: the system's serial port
    int settle_ms = 200;             // after a rate change, before "+++"
    int reply_ms = wire::scan_reply_wait_ms;
    int rest_ms = 500;      // after an answer, before asking again
    int reopen_ms = 500;    // after the port failed to open, before trying again
    int id_reply_ms = 1000; // after the identity command, the longest wait for its line
};

// Watches one port for a module without taking it over: keeps the port
// open, asks "+++" at its rates in turn (by default the scan rates; the rate
// that answered last first) and reports every answer and every question
// left unanswered. Between writes it sleeps on one timer; bytes wake it
// through the port's input hint. stop() closes the port, so an update can
// open it.
class ModuleProbe : public QObject
{
    Q_OBJECT

public:
    explicit ModuleProbe(const QString &device, ProbeOptions options = {}, QObject *parent = nullptr);
    ~ModuleProbe() override;

    void start();
    void stop();
    bool running() const { return step != Step::stopped; }
    // The rates to ask from now on; a round of them starts with the next
    // question. One not asked yet is asked at the first of them.
    void ask_rates(QVector<int> rates);
    // The next application that answers "+++" is asked this command, and
    // what it says is reported with identified().
    void want_identity(const QByteArray &id_command);
    // With steps, each round left silent ends with them on the lines and an
    // update request: a module whose application is dead answers from its
    // boot loader (reset_answered, then answered). Empty: no reset.
    void reset_after_silence(QVector<LineStep> steps);

signals:
    void answered(int baud);
    // A question's time passed with nothing that tells of a module.
    void unanswered(int baud);
    // Every rate asked once since the last answer (or since ask_rates), none answered.
    void silent_round();
    // The first meaningful line of the identity reply; empty when there was none.
    void identified(const QString &module_id);
    // The answer that follows was the boot loader's, after the lines' reset.
    void reset_answered();
    // The port does not exist, or it broke: the module or its adapter is gone.
    void port_missing();

private:
    enum class Step { stopped, opening, settling, listening, resting, reading_id, resetting };

    void on_timer();
    void on_input();
    void open_port();
    void ask_at(int index);
    void no_answer();
    void heard(int baud, bool ask_identity);
    void read_identity(bool complete);
    void lost();
    void step_reset();
    void wait(Step next, int ms);
    int rate_at(int index) const;

    const QString device;
    ProbeOptions options;
    std::unique_ptr<Transport> link;
    QTimer *timer;
    Step step = Step::stopped;
    QVector<int> rates;
    int last_heard = 0; // the rate that answered last; 0: none yet
    int preferred = 0;  // its index in rates, or 0
    int position = 0;   // rates asked in this round, the preferred one first; -1: none yet
    int asking = 0;     // the rate of the question in progress
    QByteArray reply;
    QByteArray id_command; // to ask at the next answer; empty: none
    QByteArray id_reply;
    QVector<LineStep> reset_steps;
    int reset_next = 0;
    bool after_reset = false; // the question in progress is the update request after a reset
};
