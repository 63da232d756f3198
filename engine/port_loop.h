#pragma once

#include "engine/module_probe.h"
#include "engine/outcome.h"
#include "engine/port_update.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;

enum class FixtureState {
    idle,
    waiting_module, // the probe waits for a module to answer
    updating,
    waiting_gone, // the module updated is still in place
    stopped,
};

struct FixtureOptions
{
    UpdateOptions update;
    int retries = 0;          // further attempts of a failed unit, each from its scan
    int gone_after_ms = 3000; // silence after which a module counts as taken out
    // After an update the module reboots: silence then tells nothing.
    int reboot_ms = wire::reboot_pause_ms;
    ProbeOptions probe;
};

// One port's fixture: waits for a module, updates it once, waits until it is
// taken out, and again. Whether a module found is updated is the owner's
// choice (module_ready, then begin_unit or stop). With an identity command a
// module found again with the identity of the unit last updated here (or one
// the checks' already_done knows) is left as it is: its unit ends skipped.
//
// Taken out means: its port vanished, or, after its reboot, it was silent
// for gone_after_ms at the rate it was last heard at (asked again and again)
// and at the boot loader's; one not heard since its update must also be
// silent at every other scan rate, for it may have rebooted into another.
// With an identity command a module that answers after a silence is asked
// who it is: another identity is a new module, swapped in however fast.
class PortLoop : public QObject
{
    Q_OBJECT

public:
    PortLoop(const QString &port_name, const QString &firmware_path, FixtureOptions options,
             QObject *parent = nullptr);
    ~PortLoop() override;

    const QString &port_name() const { return name; }
    FixtureState state() const { return current; }
    int units() const { return units_done; } // updated or failed; skipped ones not

    void start();
    void begin_unit();
    // Ends the loop; an update in progress runs to its end first.
    void stop();
    // Ends the loop; an update in progress is cancelled and ends as aborted.
    void abort();

signals:
    void module_ready();
    void unit_started(int unit);
    // Each attempt of a unit has an update of its own.
    void update_created(PortUpdate *update, int attempt);
    void attempt_finished(int attempt, PortResult result, FailReason reason, double seconds);
    void unit_ended(int unit, PortResult result, FailReason reason, double seconds);
    void module_gone();
    void stopped();

private:
    void start_update();
    void update_ended(PortResult result, FailReason reason);
    void update_gone();
    void on_answer(int baud);
    void on_unanswered(int baud);
    void on_identified(const QString &module_id);
    void watch_at(int baud, int silence_ms);
    void check_silence();
    void gone();
    void finish();

    const QString name;
    const QString firmware_path;
    FixtureOptions options;
    ModuleProbe *probe;
    QTimer *gone_timer; // runs while the silence has not lasted long enough
    QPointer<PortUpdate> update;
    FixtureState current = FixtureState::idle;
    QElapsedTimer unit_clock;
    QElapsedTimer attempt_clock;
    QString attempt_module_id;     // what the attempt in progress read
    QString updated_id;            // the identity of the unit last updated ok
    QString fixture_id;            // the identity of the module in the fixture; empty: unknown
    QDeadlineTimer rebooting;      // the module's reboot after its update
    int module_baud = 0;           // the rate the module was last heard at
    int silent_at_module_baud = 0; // questions there unanswered since the reboot or the last answer
    bool heard_since_update = false;
    bool sweeping = false; // the other scan rates are asked once
    int unit_count = 0;    // units begun
    int units_done = 0;
    int attempt = 0;
    PortResult last_result = PortResult::skipped;
    FailReason last_reason = FailReason::not_started;
    bool stop_after_unit = false; // the unit in progress is the last, retries included
    bool aborting = false;
    bool arrived_dead = false; // the module found answered from its boot loader after the lines' reset
};
