#pragma once

#include "engine/check_options.h"
#include "engine/fixture_loop.h"
#include "engine/image.h"
#include "engine/release_manifest.h"
#include "engine/run_events.h"
#include "engine/update_run.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>

enum class RunMode {
    one_after_another, // the first failure ends the run, unless keep_going
    parallel,          // every port at once; a failure ends only its port
    fixture_loop,      // every port updates unit after unit until count or a stop
};

// Everything one run needs, whichever front end asks for it.
struct RunRequest
{
    RunMode mode = RunMode::one_after_another;
    QStringList ports;
    QMap<QString, QString> devices; // port name to the device to open, where they differ
    QString image_path;
    // The bytes every port sends, read and checked once. Null: each port reads
    // image_path when it begins, as a press of "update" in the window does.
    std::shared_ptr<const Image> image;
    CheckOptions checks;
    int retries = 0;         // further attempts of a failed port or unit, each from its scan
    bool keep_going = false; // one after another: a failed port does not end the run
    int count = 0;           // fixture loop: units updated in total before it ends; 0: until stopped
    int gone_after_ms = FixtureOptions().gone_after_ms;
    bool explain_open_failure = false; // a log line says why a port did not open
    int known_rate = 0;                // the application's rate (--baud): no scan
    bool low_latency = true;           // false: the driver's latency as it is (--no-low-latency)
    ResetOptions reset;                // how the fixture resets a dead application
    ReleaseApproval release;           // with a trusted key: the signed release that allows the image
};

// One run of a request: a pass over the ports or a fixture loop, reporting
// through one vocabulary (RunEvents and the signals below) so that every
// front end, record and check listens to a run and a loop alike.
class RunSession : public RunEvents
{
    Q_OBJECT

public:
    explicit RunSession(RunRequest request, QObject *parent = nullptr);
    ~RunSession() override;

    void start();
    // A pass ends as abort() does; a loop ends once its units in progress are done.
    void stop();
    // Every unfinished port ends as aborted.
    void abort();
    bool running() const;

    const RunRequest &request() const { return wanted; }
    // What only one of the two kinds of run has; null for the other.
    UpdateRun *pass() const { return update_run.get(); }
    FixtureLoop *loop() const { return fixture_loop.get(); }

signals:
    // A pass: a port's last end, after its last attempt.
    void port_finished(const QString &port, PortResult result, FailReason reason, double seconds);
    // A loop: each unit's start and end, and a module taken out of its fixture.
    void unit_started(const QString &port, int unit, int total);
    void unit_ended(const QString &port, int unit, int total, PortResult result, FailReason reason,
                    double seconds);
    void module_gone(const QString &port);

private:
    void relay(RunEvents *source);

    const RunRequest wanted;
    std::unique_ptr<UpdateRun> update_run;
    std::unique_ptr<FixtureLoop> fixture_loop;
};
