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

const char *reason_meaning(FailReason reason)
{
    switch (reason) {
    case FailReason::ok: return QT_TRANSLATE_NOOP("outcome", "the image was written");
    case FailReason::no_file: return QT_TRANSLATE_NOOP("outcome", "no image was chosen when the port's turn came");
    case FailReason::open_failed: return QT_TRANSLATE_NOOP("outcome", "the port could not be opened");
    case FailReason::permission_denied: return QT_TRANSLATE_NOOP("outcome", "the user may not open the port");
    case FailReason::port_busy: return QT_TRANSLATE_NOOP("outcome", "another program holds the port");
    case FailReason::no_such_port: return QT_TRANSLATE_NOOP("outcome", "the port does not exist, or did not appear in time");
    case FailReason::reset_timeout: return QT_TRANSLATE_NOOP("outcome", "the module's reset button was not pressed in time");
    case FailReason::no_start_request: return QT_TRANSLATE_NOOP("outcome", "the boot loader never asked for the first block");
    case FailReason::retries_exhausted: return QT_TRANSLATE_NOOP("outcome", "a block was not acknowledged after all its retries");
    case FailReason::unexpected_reply: return QT_TRANSLATE_NOOP("outcome", "the module answered a block with no XMODEM answer");
    case FailReason::cancelled_by_module: return QT_TRANSLATE_NOOP("outcome", "the module cancelled the transfer");
    case FailReason::port_lost: return QT_TRANSLATE_NOOP("outcome", "the port vanished during the update");
    case FailReason::image_unreadable: return QT_TRANSLATE_NOOP("outcome", "the image could not be read");
    case FailReason::eot_unconfirmed: return QT_TRANSLATE_NOOP("outcome", "the module did not confirm the end of the transfer");
    case FailReason::aborted: return QT_TRANSLATE_NOOP("outcome", "the run was aborted by a signal");
    case FailReason::not_started: return QT_TRANSLATE_NOOP("outcome", "the run ended before this port's turn");
    case FailReason::not_booted: return QT_TRANSLATE_NOOP("outcome", "the new application did not answer");
    case FailReason::wrong_version: return QT_TRANSLATE_NOOP("outcome", "the new application named another version");
    case FailReason::already_done: return QT_TRANSLATE_NOOP("outcome", "the module already had this image");
    case FailReason::no_identity: return QT_TRANSLATE_NOOP("outcome", "the reply to the identity command named no module");
    }
    return "";
}

const char *reason_hint(FailReason reason)
{
    switch (reason) {
    case FailReason::no_file: return QT_TRANSLATE_NOOP("outcome", "choose an image first");
    case FailReason::open_failed: return QT_TRANSLATE_NOOP("outcome", "is the adapter plugged in and working?");
    case FailReason::permission_denied: return QT_TRANSLATE_NOOP("outcome", "join the dialout group (or use the udev rule) and log in again");
    case FailReason::port_busy: return QT_TRANSLATE_NOOP("outcome", "close the other program that has the port open");
    case FailReason::no_such_port: return QT_TRANSLATE_NOOP("outcome", "is the adapter plugged in? --list-ports shows the ports there are");
    case FailReason::reset_timeout:
        return QT_TRANSLATE_NOOP("outcome", "no answer at any rate: is the module powered and its TX/RX crossed? Press reset when asked");
    case FailReason::no_start_request:
        return QT_TRANSLATE_NOOP("outcome", "is the module powered, its TX/RX crossed, and did it reboot into its boot loader?");
    case FailReason::retries_exhausted:
    case FailReason::unexpected_reply:
    case FailReason::eot_unconfirmed: return QT_TRANSLATE_NOOP("outcome", "check the cable and its ground, then try again");
    case FailReason::cancelled_by_module: return QT_TRANSLATE_NOOP("outcome", "the module refused the image: is it the image for this module?");
    case FailReason::port_lost: return QT_TRANSLATE_NOOP("outcome", "was the adapter pulled out, or did it lose power?");
    case FailReason::image_unreadable: return QT_TRANSLATE_NOOP("outcome", "check that the image file is still there and readable");
    case FailReason::not_booted: return QT_TRANSLATE_NOOP("outcome", "is the image for this module? Try the update again");
    case FailReason::wrong_version: return QT_TRANSLATE_NOOP("outcome", "the module runs another version than the one expected");
    case FailReason::no_identity: return QT_TRANSLATE_NOOP("outcome", "check --id-command and --id-pattern against what the module answers");
    case FailReason::ok:
    case FailReason::aborted:
    case FailReason::not_started:
    case FailReason::already_done: return "";
    }
    return "";
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
