#pragma once

#include "engine/check_options.h"
#include "engine/outcome.h"
#include "engine/release_manifest.h"
#include "platform/platform.h"
#include "records/history_row.h"
#include "records/record_settings.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVector>

class HistoryWriter;
class RunEvents;

// What every row of one run shares.
struct RunContext
{
    QString station;
    QString operator_name;
    QString tool_version;
    QString image_path;
    qint64 image_size = 0;
    QString image_sha256;
    QMap<QString, QString> devices; // port to device, where they differ
    ReleaseApproval release;        // with a trusted key: what allowed the image
};

// The image's size and SHA-256 into the context; false when it cannot be read.
bool describe_image(const QString &path, RunContext &context);

// Turns a run's ports into history rows: one per attempt, and one for each
// port the run skipped; of a station's units, one per attempt. An
// attempt's row is written when it starts (result started) and completed
// when it ends, so a process killed during it leaves its row.
class RunRecorder : public QObject
{
    Q_OBJECT

public:
    RunRecorder(HistoryWriter *writer, RunContext context, QObject *parent = nullptr);

    void watch(RunEvents *run); // an UpdateRun or a FixtureLoop
    // A port's end the run never saw (a port that did not appear in time).
    void record_end(const QString &port, int attempt, PortResult result, FailReason reason, double seconds);

    // The row of an attempt's end, before it is queued: the row its start
    // wrote, completed.
    HistoryRow row_of(const QString &port, int attempt, PortResult result, FailReason reason,
                      double seconds) const;

private:
    void start_attempt(const QString &port, int attempt);
    HistoryRow row_of_port(const QString &port) const;

    HistoryWriter *writer;
    RunContext context;
    AdapterDetails adapter_of(const QString &device) const;

    mutable QHash<QString, AdapterDetails> adapters; // by device, looked up at a port's first row
    QMap<QString, int> rates;         // the rate each port's current attempt found
    QMap<QString, PortFacts> facts;   // what each port's current attempt found out
    QMap<QString, RunContext> images; // the image each port's current attempt read: its path, size and SHA-256
    QMap<QString, HistoryRow> open;   // the row of each port's attempt under way
};

// The word of a port's end in the history: ok, failed, aborted or skipped.
QString history_result(PortResult result, FailReason reason);
