#pragma once

#include "engine/outcome.h"
#include "engine/port_update.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

struct RunOptions
{
    bool parallel = false;   // every port at once; a failure ends only its port
    bool keep_going = false; // a failed port does not end a one-after-another run
    int retries = 0;         // further attempts of a failed port, each from its scan
    UpdateOptions update;
    QMap<QString, QString> devices; // port name to the device to open, where they differ
};

struct PortSummary
{
    QString port;
    PortResult result = PortResult::skipped;
    FailReason reason = FailReason::not_started;
    double seconds = 0;
};

// The ticked ports of one press of "update": one after another, where the
// first failure ends the run, or all at once in parallel mode.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    static constexpr int max_ports = 8;

    UpdateRun(const QStringList &ports, const QString &firmware_path, RunOptions options = {},
              QObject *parent = nullptr);
    ~UpdateRun() override;

    void start();
    // The image chosen now; a one-after-another run reads it when it goes on
    // to its next port, as a new press of "update" would.
    void set_firmware_path(const QString &path) { firmware_path = path; }
    // Every unfinished port ends as `aborted`, the others are skipped.
    void abort();

    bool running() const { return started && !ended; }
    const QVector<PortSummary> &summary() const { return results; }
    // The update of a port while it runs, else null.
    PortUpdate *update_of(const QString &port) const;
    PortUpdate *current_update() const;

    QString update_ports[max_ports];
    quint8 port_count = 0;
    quint8 current_port = 0;

signals:
    void port_started(const QString &port, int attempt);
    void log_line(const QString &port, const QString &body);
    void progress(const QString &port, const QString &text, qint64 bytes_sent, qint64 total_bytes);
    void notice(const QString &port, NoticeKind kind, const QString &title, const QString &text);
    void rate_found(const QString &port, int baud);
    void reset_needed(const QString &port);
    void image_taken(const QString &port, const QString &path, qint64 bytes, const QString &sha256);
    void port_finished(const QString &port, PortResult result, FailReason reason, double seconds);
    void finished();

private:
    void start_port(int index);
    void port_ended(int index, PortResult result, FailReason reason);
    void skip_from(int index);
    void finish_run();
    int live_count() const;

    QString firmware_path;
    RunOptions options;
    QVector<QPointer<PortUpdate>> updates;
    QVector<QElapsedTimer> started_at;
    QVector<int> attempts;
    QVector<PortSummary> results;
    bool started = false;
    bool ended = false;
};
