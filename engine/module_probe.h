#pragma once

#include "engine/port_update.h"

#include <QByteArray>
#include <QObject>
#include <QString>
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
    int rest_ms = 500;   // after an answer, before asking again
    int reopen_ms = 500; // after the port failed to open, before trying again
};

// Watches one port for a module without taking it over: keeps the port
// open, asks "+++" at the scan rates in turn (the rate that answered last
// first) and reports every answer. Between writes it sleeps on one timer;
// bytes wake it through the port's input hint. stop() closes the port, so
// an update can open it.
class ModuleProbe : public QObject
{
    Q_OBJECT

public:
    explicit ModuleProbe(const QString &device, ProbeOptions options = {}, QObject *parent = nullptr);
    ~ModuleProbe() override;

    void start();
    void stop();
    bool running() const { return step != Step::stopped; }

signals:
    void answered(int baud);
    // Every rate asked once since the last answer, none answered.
    void silent_round();
    // The port does not exist, or it broke: the module or its adapter is gone.
    void port_missing();

private:
    enum class Step { stopped, opening, settling, listening, resting };

    void on_timer();
    void on_input();
    void open_port();
    void ask_at(int index);
    void next_rate();
    void lost();
    void wait(Step next, int ms);
    int rate_at(int index) const;

    const QString device;
    ProbeOptions options;
    std::unique_ptr<Transport> link;
    QTimer *timer;
    Step step = Step::stopped;
    int preferred = 0; // index into the scan rates of the last rate that answered
    int position = 0;  // rates asked in this round, the preferred one first
    QByteArray reply;
};
