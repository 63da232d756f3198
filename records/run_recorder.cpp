#include "records/run_recorder.h"

#include "engine/run_events.h"
#include "platform/platform.h"
#include "records/history_writer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

bool describe_image(const QString &path, RunContext &context)
{
    context.image_path = QFileInfo(path).absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return false;
    context.image_size = file.size();
    context.image_sha256 = QString::fromLatin1(hash.result().toHex());
    return true;
}

QString history_result(PortResult result, FailReason reason)
{
    if (result == PortResult::failure && reason == FailReason::aborted)
        return QStringLiteral("aborted");
    return QString::fromLatin1(result_word(result));
}

RunRecorder::RunRecorder(HistoryWriter *writer, RunContext context, QObject *parent)
    : QObject(parent), writer(writer), context(std::move(context))
{}

// Looked up once per device, while the port is there to ask: a row written
// after the adapter was pulled keeps what it was.
AdapterDetails RunRecorder::adapter_of(const QString &device) const
{
    auto known = adapters.constFind(device);
    if (known == adapters.cend())
        known = adapters.insert(device, adapter_details_of(device));
    return *known;
}

void RunRecorder::watch(RunEvents *run)
{
    connect(run, &RunEvents::attempt_started, this, &RunRecorder::start_attempt);
    connect(run, &RunEvents::facts_known, this,
            [this](const QString &port, const PortFacts &found) { facts[port] = found; });
    connect(run, &RunEvents::rate_found, this, [this](const QString &port, int baud) { rates[port] = baud; });
    connect(run, &RunEvents::attempt_finished, this, &RunRecorder::record_end);
    // What the attempt read and sent, which may differ from what the run saw at its start.
    connect(run, &RunEvents::image_taken, this,
            [this](const QString &port, const QString &path, qint64 bytes, const QString &sha256) {
                RunContext &taken = images[port];
                taken.image_path = QFileInfo(path).absoluteFilePath();
                taken.image_size = bytes;
                taken.image_sha256 = sha256;
            });
}

void RunRecorder::start_attempt(const QString &port, int attempt)
{
    rates.remove(port);
    facts.remove(port);
    images.remove(port);
    if (!writer)
        return;
    HistoryRow row = row_of_port(port);
    row.uid = new_row_uid();
    row.started_utc = row.ended_utc = utc_text(QDateTime::currentDateTimeUtc());
    row.result = QString::fromLatin1(started_result);
    row.attempt = attempt;
    open[port] = row;
    writer->record(row);
}

void RunRecorder::record_end(const QString &port, int attempt, PortResult result, FailReason reason,
                             double seconds)
{
    if (writer)
        writer->record(row_of(port, attempt, result, reason, seconds));
    open.remove(port);
}

// What every row of the port holds, whatever its attempt.
HistoryRow RunRecorder::row_of_port(const QString &port) const
{
    HistoryRow row;
    row.station = context.station;
    row.operator_name = context.operator_name;
    row.tool_version = context.tool_version;
    row.port = port;
    row.device = context.devices.value(port, device_name(port));
    const AdapterDetails adapter = adapter_of(row.device);
    row.adapter_serial = adapter.serial_number;
    row.adapter_vid_pid = adapter.vid_pid;
    const RunContext image = images.value(port, context);
    row.image_path = image.image_path;
    row.image_size = image.image_size;
    row.image_sha256 = image.image_sha256;
    row.release_key = context.release.key_id;
    row.release = context.release.release;
    row.release_comment = context.release.trusted_comment;
    return row;
}

HistoryRow RunRecorder::row_of(const QString &port, int attempt, PortResult result, FailReason reason,
                               double seconds) const
{
    const QDateTime ended = QDateTime::currentDateTimeUtc();
    const auto started = open.constFind(port);
    const bool was_started = started != open.cend() && started->attempt == attempt;
    HistoryRow row = row_of_port(port);
    row.uid = was_started ? started->uid : new_row_uid();
    row.started_utc = was_started ? started->started_utc : utc_text(ended.addMSecs(-qint64(seconds * 1000)));
    row.ended_utc = utc_text(ended);
    row.result = history_result(result, reason);
    row.reason = QString::fromLatin1(reason_code(reason));
    row.attempt = attempt;
    row.seconds = seconds;
    const PortFacts found = facts.value(port);
    row.rate = rates.value(port, found.rate);
    row.verified = found.verified;
    if (row.verified.isEmpty() && result == PortResult::success)
        row.verified = QStringLiteral("transfer");
    row.module_id = found.module_id;
    row.version_reply = found.version_reply;
    row.crc_mode = found.crc_mode;
    if (found.latency_ms >= 0)
        row.adapter_latency_ms = QString::number(found.latency_ms);
    row.reset_by = found.reset_by;
    return row;
}
