#pragma once

#include <QByteArray>

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
