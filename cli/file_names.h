#pragma once

#include <QByteArray>
#include <QString>

// File names and arguments as the system gives them: bytes. The local 8-bit
// codec installed here is UTF-8 that keeps every byte of an invalid sequence
// (as a lone U+DC80..U+DCFF, as Python's "surrogateescape" does), so a path
// that is not valid UTF-8 still opens: QFile::decodeName() and encodeName()
// give back the bytes they were given.
void use_byte_keeping_file_names();

QString decode_bytes(const QByteArray &bytes);
QByteArray encode_bytes(const QString &text);
