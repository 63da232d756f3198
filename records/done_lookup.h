#pragma once

#include <QString>
#include <functional>

// For --skip-done: whether the history at db_path holds an `ok` row of the
// module with this identity for the image with this SHA-256. Opens the
// database on first use, in the calling thread; one that cannot be read
// answers false (the module is updated).
std::function<bool(const QString &module_id)> done_lookup(const QString &db_path, const QString &sha256);
