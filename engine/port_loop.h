#pragma once

#include "engine/module_probe.h"
#include "engine/outcome.h"
#include "engine/port_update.h"

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
    ProbeOptions probe;
};

// One port's fixture: waits for a module, updates it once, waits until it is
// taken out, and again. Whether a module found is updated is the owner's
// choice (module_ready, then begin_unit or stop). With an identity command a
// module found again with the identity of the unit last updated here (or one
// the checks' already_done knows) is left as it is: its unit ends skipped.
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
    void on_answer();
    void check_gone();
    void gone();
    void finish();

    const QString name;
    const QString firmware_path;
    FixtureOptions options;
    ModuleProbe *probe;
    QTimer *gone_timer;
    QPointer<PortUpdate> update;
    FixtureState current = FixtureState::idle;
    QElapsedTimer unit_clock;
    QElapsedTimer attempt_clock;
    QString attempt_module_id; // what the attempt in progress read
    QString updated_id;        // the identity of the unit last updated ok
    int unit_count = 0; // units begun
    int units_done = 0;
    int attempt = 0;
    PortResult last_result = PortResult::skipped;
    FailReason last_reason = FailReason::not_started;
    bool stop_after_unit = false; // the unit in progress is the last, retries included
    bool aborting = false;
    bool silent_since_answer = false;
};
