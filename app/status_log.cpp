#include "app/mainwindow.h"

#include "engine/log_format.h"
#include "records/history_writer.h"

#include <QCoreApplication>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>
#include <cstdio>

void MainWindow::append_log(const QString &body)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = format_log_line(now, body);
    log_text += line;
    if (parallel) {
        // Many ports write many lines: only the new one is added.
        QTextCursor end(log_view->document());
        end.movePosition(QTextCursor::End);
        end.insertText(line);
    } else {
        log_view->setPlainText(log_text);
    }
    // The newest line stays in view (a reset prompt gives 10 s to act on it).
    log_view->moveCursor(QTextCursor::End);
    log_view->ensureCursorVisible();
    log_view->verticalScrollBar()->setValue(log_view->verticalScrollBar()->maximum());
    record.append(now.date(), line);
}

// Only the record gets this line; the window's log keeps its own lines.
void MainWindow::record_run_start(const QStringList &ports)
{
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QStringLiteral("1.0");
    const QString header = run_header(version, firmware_path, ports, parallel);
    const QDateTime now = QDateTime::currentDateTime();
    record.append(now.date(), format_log_line(now, header));
}

// Each attempt at each port of a run or a station becomes a row of the history database.
void MainWindow::record_history_of(RunEvents *started)
{
    if (start_recorder())
        recorder->watch(started);
}

bool MainWindow::start_recorder()
{
    if (!records.enabled)
        return false;
    if (!history) {
        history = std::make_unique<HistoryWriter>(records.resolved_db_path(), records.central_db);
        auto tell = [this](const QString &message) {
            std::fprintf(stderr, "tessik-update-tool: %s\n", message.toLocal8Bit().constData());
            append_log(message);
        };
        connect(history.get(), &HistoryWriter::failed, this, tell, Qt::QueuedConnection);
        connect(history.get(), &HistoryWriter::central_failed, this, tell, Qt::QueuedConnection);
    }
    RunContext context;
    context.station = records.resolved_station();
    context.operator_name = records.resolved_operator();
    context.tool_version = QCoreApplication::applicationVersion();
    describe_image(firmware_path, context);
    context.release = release;
    recorder = std::make_unique<RunRecorder>(history.get(), context);
    return true;
}
