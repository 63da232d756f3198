#include "engine/run_session.h"

namespace {

UpdateOptions update_options(const RunRequest &request)
{
    UpdateOptions options;
    options.image = request.image;
    options.checks = request.checks;
    options.explain_open_failure = request.explain_open_failure;
    options.known_rate = request.known_rate;
    options.low_latency = request.low_latency;
    options.reset = request.reset;
    return options;
}

} // namespace

RunSession::RunSession(RunRequest request, QObject *parent) : RunEvents(parent), wanted(std::move(request))
{
    if (wanted.mode == RunMode::fixture_loop) {
        FixtureOptions options;
        options.update = update_options(wanted);
        options.retries = wanted.retries;
        options.gone_after_ms = wanted.gone_after_ms;
        fixture_loop = std::make_unique<FixtureLoop>(wanted.ports, wanted.image_path, options, wanted.count,
                                                     wanted.devices);
        relay(fixture_loop.get());
        connect(fixture_loop.get(), &FixtureLoop::unit_started, this, &RunSession::unit_started);
        connect(fixture_loop.get(), &FixtureLoop::unit_ended, this, &RunSession::unit_ended);
        connect(fixture_loop.get(), &FixtureLoop::module_gone, this, &RunSession::module_gone);
        return;
    }
    RunOptions options;
    options.parallel = wanted.mode == RunMode::parallel;
    options.keep_going = wanted.keep_going;
    options.retries = wanted.retries;
    options.devices = wanted.devices;
    options.update = update_options(wanted);
    update_run = std::make_unique<UpdateRun>(wanted.ports, wanted.image_path, options);
    relay(update_run.get());
    connect(update_run.get(), &UpdateRun::port_finished, this, &RunSession::port_finished);
}

RunSession::~RunSession() = default;

void RunSession::relay(RunEvents *source)
{
    connect(source, &RunEvents::attempt_started, this, &RunEvents::attempt_started);
    connect(source, &RunEvents::log_line, this, &RunEvents::log_line);
    connect(source, &RunEvents::progress, this, &RunEvents::progress);
    connect(source, &RunEvents::notice, this, &RunEvents::notice);
    connect(source, &RunEvents::rate_found, this, &RunEvents::rate_found);
    connect(source, &RunEvents::reset_needed, this, &RunEvents::reset_needed);
    connect(source, &RunEvents::resetting, this, &RunEvents::resetting);
    connect(source, &RunEvents::image_taken, this, &RunEvents::image_taken);
    connect(source, &RunEvents::module_identified, this, &RunEvents::module_identified);
    connect(source, &RunEvents::facts_known, this, &RunEvents::facts_known);
    connect(source, &RunEvents::latency_known, this, &RunEvents::latency_known);
    connect(source, &RunEvents::attempt_finished, this, &RunEvents::attempt_finished);
    connect(source, &RunEvents::finished, this, &RunEvents::finished);
}

void RunSession::start()
{
    if (fixture_loop)
        fixture_loop->start();
    else
        update_run->start();
}

void RunSession::stop()
{
    if (fixture_loop)
        fixture_loop->stop();
    else
        update_run->abort();
}

void RunSession::abort()
{
    if (fixture_loop)
        fixture_loop->abort();
    else
        update_run->abort();
}

bool RunSession::running() const
{
    return fixture_loop ? fixture_loop->running() : update_run->running();
}
