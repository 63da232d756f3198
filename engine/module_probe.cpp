#include "engine/module_probe.h"

#include "engine/reply_lines.h"
#include "serial/system_port.h"

#include <QTimer>

namespace {

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
    : QObject(parent), device(device), options(std::move(options)), timer(new QTimer(this)),
      rates(wire::scan_rates.begin(), wire::scan_rates.end())
{
    if (!this->options.open_transport)
        this->options.open_transport = system_serial_port;
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
    id_command.clear();
    if (link) {
        link->setInputHint(nullptr);
        link->close();
    }
}

void ModuleProbe::wait(Step next, int ms)
{
    step = next;
    timer->start(ms);
}

void ModuleProbe::ask_rates(QVector<int> list)
{
    if (list.isEmpty())
        return;
    rates = std::move(list);
    preferred = qMax(0, rates.indexOf(last_heard));
    position = -1;
    if (step == Step::settling)
        ask_at(0);
}

void ModuleProbe::reset_after_silence(QVector<LineStep> steps)
{
    reset_steps = std::move(steps);
}

// The steps up to the next wait; after the last, the boot loader is asked.
void ModuleProbe::step_reset()
{
    while (reset_next < reset_steps.size()) {
        const LineStep &line_step = reset_steps.at(reset_next++);
        if (line_step.kind == LineStep::Kind::wait) {
            wait(Step::resetting, line_step.wait_ms);
            return;
        }
        if (line_step.kind == LineStep::Kind::dtr)
            link->setDataTerminalReady(line_step.level);
        else
            link->setRequestToSend(line_step.level);
    }
    asking = wire::boot_loader_rate;
    link->setBaudRate(asking);
    link->readAll();
    reply.clear();
    after_reset = true;
    link->write(wire::update_request());
    wait(Step::listening, options.reply_ms);
}

void ModuleProbe::want_identity(const QByteArray &command)
{
    id_command = command;
}

int ModuleProbe::rate_at(int index) const
{
    if (index == 0)
        return rates[preferred];
    return rates[index - 1 < preferred ? index - 1 : index];
}

void ModuleProbe::open_port()
{
    link = options.open_transport(device);
    if (!link->open()) {
        // A port held by another program (an update just ending) is still there.
        if (link->openFailure() == OpenFailure::no_such_port)
            emit port_missing();
        if (running())
            wait(Step::opening, options.reopen_ms);
        return;
    }
    link->applyLineSettings();
    link->setInputHint([this] { on_input(); });
    ask_at(0);
}

void ModuleProbe::ask_at(int index)
{
    position = index;
    after_reset = false;
    asking = rate_at(index);
    link->setBaudRate(asking);
    link->readAll();
    reply.clear();
    wait(Step::settling, options.settle_ms);
}

// The one told may give other rates or stop the probe.
void ModuleProbe::no_answer()
{
    emit unanswered(asking);
    if (!running())
        return;
    if (after_reset) {
        ask_at(0);
        return;
    }
    if (position + 1 < rates.size()) {
        ask_at(position + 1);
        return;
    }
    // An answer starts the round again: reaching its end means none came.
    if (reset_steps.isEmpty()) {
        ask_at(0);
    } else {
        reset_next = 0;
        step_reset();
    }
    emit silent_round();
}

void ModuleProbe::lost()
{
    if (link) {
        link->setInputHint(nullptr);
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
        no_answer();
        break;
    case Step::resting:
        ask_at(0);
        break;
    case Step::reading_id:
        read_identity(true);
        break;
    case Step::resetting:
        step_reset();
        break;
    default:
        break;
    }
}

void ModuleProbe::on_input()
{
    if (!running() || step == Step::opening || !link)
        return;
    const QByteArray bytes = link->readAll();
    if (link->failed()) {
        lost();
        return;
    }
    if (step == Step::reading_id) {
        id_reply += bytes;
        read_identity(false);
        return;
    }
    reply = (reply + bytes).right(reply_kept);
    const ProbeReply heard_now = classify_probe_reply(reply, asking);
    if (heard_now == ProbeReply::none)
        return;
    reply.clear();
    heard(asking, heard_now == ProbeReply::application && !id_command.isEmpty());
}

void ModuleProbe::heard(int baud, bool ask_identity)
{
    last_heard = baud;
    preferred = qMax(0, rates.indexOf(baud));
    position = 0;
    if (ask_identity) {
        // The application has just taken "+++": it reads commands now.
        id_reply.clear();
        link->write(id_command);
        wait(Step::reading_id, options.id_reply_ms);
    } else {
        wait(Step::resting, options.rest_ms);
    }
    if (std::exchange(after_reset, false))
        emit reset_answered();
    emit answered(baud);
}

// The line as soon as it is complete, or whatever came by the deadline.
void ModuleProbe::read_identity(bool complete)
{
    bool found = false;
    const QByteArray id = meaningful_line(id_reply, id_command, complete, &found);
    if (!found && !complete)
        return;
    id_command.clear();
    id_reply.clear();
    wait(Step::resting, options.rest_ms);
    // ERROR or OK alone names no module: two such modules are not the same one.
    const bool names_one = classify_id_reply(id, QRegularExpression()) == IdReply::identity;
    emit identified(names_one ? QString::fromUtf8(id) : QString());
}
