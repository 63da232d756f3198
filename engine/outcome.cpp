#include "engine/outcome.h"

const char *reason_code(FailReason reason)
{
    switch (reason) {
    case FailReason::ok: return "ok";
    case FailReason::no_file: return "no_file";
    case FailReason::open_failed: return "open_failed";
    case FailReason::permission_denied: return "permission_denied";
    case FailReason::port_busy: return "port_busy";
    case FailReason::no_such_port: return "no_such_port";
    case FailReason::reset_timeout: return "reset_timeout";
    case FailReason::no_start_request: return "no_start_request";
    case FailReason::retries_exhausted: return "retries_exhausted";
    case FailReason::unexpected_reply: return "unexpected_reply";
    case FailReason::cancelled_by_module: return "cancelled_by_module";
    case FailReason::port_lost: return "port_lost";
    case FailReason::image_unreadable: return "image_unreadable";
    case FailReason::eot_unconfirmed: return "eot_unconfirmed";
    case FailReason::aborted: return "aborted";
    case FailReason::not_started: return "not_started";
    case FailReason::not_booted: return "not_booted";
    case FailReason::wrong_version: return "wrong_version";
    case FailReason::already_done: return "already_done";
    case FailReason::no_identity: return "no_identity";
    }
    return "unknown";
}

const char *result_word(PortResult result)
{
    switch (result) {
    case PortResult::success: return "ok";
    case PortResult::failure: return "failed";
    case PortResult::skipped: return "skipped";
    }
    return "failed";
}

void register_outcome_types()
{
    qRegisterMetaType<PortResult>();
    qRegisterMetaType<FailReason>();
    qRegisterMetaType<NoticeKind>();
}
