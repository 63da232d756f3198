#pragma once

#include "records/run_recorder.h"

#include <QJsonObject>
#include <functional>
#include <memory>

class HistoryWriter;
struct RecordSettings;

// The history of one command-line run: the rows its ports' ends become, and
// a database that fails told once, on standard error and as an event
// (history_error, or central_error for rows that wait for the central one).
class RunHistory
{
public:
    using Emit = std::function<void(const QJsonObject &)>;

    // Without records.enabled nothing is written.
    RunHistory(const RecordSettings &records, const RunContext &context, Emit emit_event);
    ~RunHistory();

    RunRecorder &recorder() { return *rows; }
    // Waits for the rows still queued; true when a failure was told.
    bool finish();

private:
    void tell_failure();

    Emit emit_event;
    std::unique_ptr<HistoryWriter> writer;
    std::unique_ptr<RunRecorder> rows;
    bool told = false;
};
