#pragma once

#include <QMetaType>
#include <QString>

// The result of one port's update: 0 and 1 as the operations report them.
enum class PortResult {
    success = 0,
    failure = 1,
    skipped = 2, // never started: an earlier port ended the run
};

// Why a port ended; the words of reason_code() are stable for scripts.
enum class FailReason {
    ok,
    no_file,
    open_failed,
    permission_denied,
    port_busy,
    no_such_port,
    reset_timeout,
    no_start_request,
    retries_exhausted,
    unexpected_reply,
    cancelled_by_module,
    port_lost,
    image_unreadable,
    eot_unconfirmed,
    aborted,
    not_started,
    not_booted,    // the new application did not answer after the transfer
    wrong_version, // it answered with another version
    already_done,  // the module already has this image (skipped)
    no_identity,   // the reply to the identity command named no module
};

const char *reason_code(FailReason reason);
// What the code means, in a few words for people; the source text of a
// translation (context "outcome"): a front end translates it as it shows it.
const char *reason_meaning(FailReason reason);
// What to look at when a port ends so ("" when there is nothing to say);
// translated as reason_meaning() is.
const char *reason_hint(FailReason reason);
const char *result_word(PortResult result);

enum class NoticeKind {
    warning,
    critical,
};

Q_DECLARE_METATYPE(PortResult)
Q_DECLARE_METATYPE(FailReason)
Q_DECLARE_METATYPE(NoticeKind)

// For signals carrying these across threads and into QSignalSpy.
void register_outcome_types();
