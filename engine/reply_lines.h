#pragma once

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QVersionNumber>

// How the tool reads an application's text replies; every check uses these.

// True when the application's reply holds its "OK".
bool holds_ok(const QByteArray &reply);

// The first line of the reply that says something: trimmed, not empty, not
// the echo of the command, not "OK"; at most 128 bytes. A line counts once
// its end (CR or LF) arrived, or at all once the reply is complete. Sets
// found when there is one.
QByteArray meaningful_line(const QByteArray &reply, const QByteArray &command, bool complete, bool *found);

// Every meaningful line, joined by a space, at most 128 bytes.
QByteArray meaningful_text(const QByteArray &reply, const QByteArray &command);

// A final AT result, in any case: OK, ERROR, +CME ERROR..., +CMS ERROR...
bool is_at_status(const QByteArray &line);

// True once a line of the reply, ended by CR or LF, is a final AT result.
bool reply_ended(const QByteArray &reply);

// What the reply to the identity command says about the module.
enum class IdReply {
    identity,
    empty,     // nothing but the echo and "OK", or nothing at all
    at_status, // ERROR, +CME ERROR...: the module does not know the command
    unmatched, // not what the identity pattern asks for
};

// line: the reply's meaningful_line(). pattern: anchored (the whole line
// must match); an empty pattern takes any line.
IdReply classify_id_reply(const QByteArray &line, const QRegularExpression &pattern);

// The words of a text: split at white space and at the separators of AT
// replies (: , ; = ( ) and quotes).
QList<QByteArray> reply_words(const QByteArray &text);

// The reply's meaningful lines as words (see meaningful_line for complete).
QList<QByteArray> reply_words(const QByteArray &reply, const QByteArray &command, bool complete);

// The word as a version when it is numbers separated by dots ("2.4.10");
// null otherwise (also when a number is too large).
QVersionNumber dotted_version(const QByteArray &word);

// The module's version in a reply: its first dotted_version() word; null
// when there is none.
QVersionNumber version_in(const QList<QByteArray> &words);

// The version checks of a reply's words. expected: its words must come in a
// row among them, each equal to one (empty: no such check). minimum: the
// version in them must be at least this, in numeric order of its parts
// (2.4.10 > 2.4.9 > 2.4 = 2.4.0; null: no such check).
bool version_accepted(const QList<QByteArray> &words, const QByteArray &expected,
                      const QVersionNumber &minimum);
