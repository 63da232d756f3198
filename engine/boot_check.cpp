#include "engine/boot_check.h"

#include "engine/reply_lines.h"
#include "protocol/wire.h"

namespace {

constexpr int settle_ms = 200;        // after a rate change, before "+++"
constexpr int probe_reply_ms = 600;   // after "+++", before the next rate
constexpr int version_reply_ms = 2000;

} // namespace

BootCheck::BootCheck(HandshakeHost &host, QVector<int> rates, int timeout_ms, QByteArray version_command,
                     QByteArray expect_version, QVersionNumber min_version)
    : host(host), rates(rates.isEmpty() ? rates_from(0) : std::move(rates)), timeout_ms(timeout_ms),
      version_command(std::move(version_command)), expect_version(std::move(expect_version)),
      min_version(std::move(min_version))
{
}

QVector<int> BootCheck::rates_from(int found_rate)
{
    QVector<int> list;
    if (found_rate > 0)
        list << found_rate;
    for (int rate : wire::scan_rates) {
        if (rate != found_rate)
            list << rate;
    }
    return list;
}

bool BootCheck::ended() const
{
    return current == BootStep::booted || current == BootStep::version_matched || current == BootStep::not_booted
           || current == BootStep::wrong_version;
}

qint64 BootCheck::deadline() const
{
    return ended() ? -1 : due_ms;
}

void BootCheck::start(qint64 now)
{
    give_up_ms = now + qMax(timeout_ms, 0);
    rate_index = 0;
    settle(now);
}

void BootCheck::settle(qint64 now)
{
    host.set_rate(rates.at(rate_index));
    current = BootStep::settling;
    due_ms = now + settle_ms;
}

void BootCheck::tick(qint64 now)
{
    switch (current) {
    case BootStep::settling:
        if (now >= give_up_ms)
            current = BootStep::not_booted;
        else if (now >= due_ms)
            probe(now);
        break;
    case BootStep::probing:
        if (holds_ok(pending)) {
            answered(now);
        } else if (now >= give_up_ms) {
            current = BootStep::not_booted;
        } else if (now >= due_ms) {
            rate_index = (rate_index + 1) % rates.size();
            if (rates.size() > 1)
                settle(now);
            else
                probe(now);
        }
        break;
    case BootStep::asking_version: {
        // A passing line decides at once; a failing one may be followed by the right one.
        const bool complete = now >= due_ms || reply_ended(pending);
        const bool accepted =
            version_accepted(reply_words(pending, version_command, complete), expect_version, min_version);
        if (accepted || complete) {
            reply = meaningful_text(pending, version_command);
            current = accepted ? BootStep::version_matched : BootStep::wrong_version;
        }
        break;
    }
    default:
        break;
    }
}

void BootCheck::probe(qint64 now)
{
    pending.clear(); // what came before "+++" is no answer to it
    host.write_command(wire::escape_sequence());
    current = BootStep::probing;
    due_ms = qMin(now + probe_reply_ms, qMax(give_up_ms, now));
}

void BootCheck::answered(qint64 now)
{
    if (version_command.isEmpty()) {
        current = BootStep::booted;
        return;
    }
    pending.clear();
    host.write_command(version_command);
    current = BootStep::asking_version;
    due_ms = now + version_reply_ms;
}
