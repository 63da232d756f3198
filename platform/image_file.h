#pragma once

// The firmware image opened as raw bytes, from any path.

#include <QString>
#include <QtGlobal>
#include <cstdio>

// Opens the image read-only as raw bytes; any path (non-ASCII included).
// Null, with errno set, when it cannot be opened or is not a regular file
// (a FIFO or a device is refused without blocking on it).
std::FILE *open_image(const QString &path);

// open_image() and image_size() together, with the trace lines of both;
// null (and size untouched) when the image cannot be opened.
std::FILE *open_measured_image(const QString &path, qint64 &size);

// Size of an open file in bytes (64-bit), leaving the position where it was.
qint64 image_size(std::FILE *file);

// Moves the position of an open file to offset bytes from its start.
bool seek_image(std::FILE *file, qint64 offset);
