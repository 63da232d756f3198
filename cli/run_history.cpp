#include "cli/run_history.h"

#include "cli/event_writer.h"
#include "records/history_writer.h"
#include "records/record_settings.h"

#include <QCoreApplication>

RunHistory::RunHistory(const RecordSettings &records, const RunContext &context, Emit emit_event)
    : emit_event(std::move(emit_event))
{
    if (records.enabled) {
        writer = std::make_unique<HistoryWriter>(records.resolved_db_path(), records.central_db);
        QObject::connect(writer.get(), &HistoryWriter::failed, QCoreApplication::instance(),
                         [this] { tell_failure(); }, Qt::QueuedConnection);
        // Rows the central database did not take wait locally: a message, not a failure.
        QObject::connect(
            writer.get(), &HistoryWriter::central_failed, QCoreApplication::instance(),
            [this](const QString &message) {
                put(stderr, QStringLiteral("tessik-update-tool: ") + message + QLatin1Char('\n'));
                this->emit_event({{QStringLiteral("event"), QStringLiteral("central_error")},
                                  {QStringLiteral("text"), message}});
            },
            Qt::QueuedConnection);
    }
    rows = std::make_unique<RunRecorder>(writer.get(), context);
}

RunHistory::~RunHistory() = default;

void RunHistory::tell_failure()
{
    if (told || !writer || !writer->has_failed())
        return;
    told = true;
    put(stderr, QStringLiteral("tessik-update-tool: ") + writer->failure() + QLatin1Char('\n'));
    emit_event({{QStringLiteral("event"), QStringLiteral("history_error")}, {QStringLiteral("text"), writer->failure()}});
}

bool RunHistory::finish()
{
    if (writer) {
        writer->finish();
        QCoreApplication::sendPostedEvents(); // what the writer reported at the very end
        tell_failure();
    }
    return told;
}
