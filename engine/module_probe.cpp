#include "engine/module_probe.h"

#include "serial/serial_port.h"

#include <QTimer>

namespace {

constexpr int rate_count = static_cast<int>(wire::scan_rates.size());
constexpr int reply_kept = 16;

} // namespace

ProbeReply classify_probe_reply(const QByteArray &reply, int baud)
{
    if (reply.contains("OK"))
        return ProbeReply::application;
    // At another rate a 'C' is as likely to be garbage as a request.
    if (baud == wire::boot_loader_rate && !reply.isEmpty() && reply.count('C') == reply.size())
        return ProbeReply::boot_loader;
    return ProbeReply::none;
}

ModuleProbe::ModuleProbe(const QString &device, ProbeOptions options, QObject *parent)
    : QObject(parent), device(device), options(std::move(options)), timer(new QTimer(this))
{
    if (!this->options.open_transport) {
        this->options.open_transport = [](const QString &name) -> std::unique_ptr<Transport> {
            return std::make_unique<SerialPort>(name);
        };
    }
    timer->setSingleShot(true);
    timer->setTimerType(Qt::CoarseTimer);
    connect(timer, &QTimer::timeout, this, &ModuleProbe::on_timer);
}

ModuleProbe::~ModuleProbe()
{
    stop();
}

void ModuleProbe::start()
{
    if (running())
        return;
    step = Step::opening;
    open_port();
}

// Never deletes the port: stop() may run inside the port's own input hint.
void ModuleProbe::stop()
{
    step = Step::stopped;
    timer->stop();
    if (link) {
        link->set_input_hint(nullptr);
        link->close();
    }
}

void ModuleProbe::wait(Step next, int ms)
{
    step = next;
    timer->start(ms);
}

int ModuleProbe::rate_at(int index) const
{
    if (index == 0)
        return wire::scan_rates[preferred];
    return wire::scan_rates[index - 1 < preferred ? index - 1 : index];
}

void ModuleProbe::open_port()
{
    link = options.open_transport(device);
    if (!link->open()) {
        // A port held by another program (an update just ending) is still there.
        if (link->open_failure() == OpenFailure::no_such_port)
            emit port_missing();
        if (running())
            wait(Step::opening, options.reopen_ms);
        return;
    }
    link->apply_line_settings();
    link->set_input_hint([this] { on_input(); });
    ask_at(0);
}

void ModuleProbe::ask_at(int index)
{
    position = index;
    link->setBaudRate(rate_at(index));
    link->readAll();
    reply.clear();
    wait(Step::settling, options.settle_ms);
}

void ModuleProbe::next_rate()
{
    if (position + 1 < rate_count) {
        ask_at(position + 1);
        return;
    }
    // An answer starts the round again: reaching its end means none came.
    ask_at(0);
    emit silent_round();
}

void ModuleProbe::lost()
{
    if (link) {
        link->set_input_hint(nullptr);
        link->close();
    }
    emit port_missing();
    if (running())
        wait(Step::opening, options.reopen_ms);
}

void ModuleProbe::on_timer()
{
    if (step == Step::opening) {
        open_port();
        return;
    }
    if (!link || !link->isOpen() || link->failed()) {
        lost();
        return;
    }
    switch (step) {
    case Step::settling:
        link->write(wire::escape_sequence());
        wait(Step::listening, options.reply_ms);
        break;
    case Step::listening:
        next_rate();
        break;
    case Step::resting:
        ask_at(0);
        break;
    default:
        break;
    }
}

void ModuleProbe::on_input()
{
    if (!running() || step == Step::opening || !link)
        return;
    reply += link->readAll();
    if (link->failed()) {
        lost();
        return;
    }
    reply = reply.right(reply_kept);
    const int baud = rate_at(position);
    if (classify_probe_reply(reply, baud) == ProbeReply::none)
        return;
    reply.clear();
    for (int i = 0; i < rate_count; ++i) {
        if (wire::scan_rates[i] == baud)
            preferred = i;
    }
    position = 0;
    wait(Step::resting, options.rest_ms);
    emit answered(baud);
}
