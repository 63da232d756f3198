#pragma once

#include "engine/release_manifest.h"

#include <QString>
#include <QStringList>

// Who records, where: the options --history-db, --no-history, --station,
// --operator and --central-db, for the window too. The settings file fills
// what the command line leaves open.
struct RecordSettings
{
    bool enabled = true;
    QString db_path;       // empty: HistoryStore::default_path()
    QString station;       // empty: the host name
    QString operator_name; // empty: the login name
    QString central_db;    // empty: no central database
    bool verify = false;   // the boot check's default, kept for when the engine has it
    // Which images may be flashed: with a trusted key (a minisign public key
    // file) only those of the signed release manifest (FILE.minisig beside it).
    QString trusted_key;
    QString manifest;
    // The station's fixture: how a dead application is reset before the
    // operator is asked (--reset-sequence, --reset-command).
    QString reset_sequence;
    QString reset_command;
    QString language; // the operator's texts: "zh" or "en" (platform/language.h); empty: zh
    bool low_latency = true; // false: --no-low-latency, or low_latency=false in the file

    QString resolved_db_path() const;
    QString resolved_station() const;
    QString resolved_operator() const;
};

// Whether the image with this SHA-256 may be flashed: with a trusted key only
// when the signed manifest approves it; without one always, with no release.
ReleaseApproval release_approval(const RecordSettings &settings, const QString &image_sha256);

// $XDG_CONFIG_HOME/tessik-update-tool/settings.ini
QString settings_file_path();

// What reading the settings file found.
struct SettingsFileReport
{
    QStringList warnings; // lines that were not used (unknown keys, ...); the others were
    QString error;        // the file is refused and nothing of it is used
};

// Fills the empty fields from the file's keys station, operator, central_db,
// history_db, verify, trusted_key, manifest, language, low_latency, reset_sequence and reset_command: one key=value a line, the value as written (trimmed);
// lines starting with # or ; are comments, keys under a [section] other than
// [General] are not read. A missing file changes nothing. A file holding a
// password that group or others may read is refused, as libpq refuses such a
// ~/.pgpass.
SettingsFileReport apply_settings_file(RecordSettings &settings, const QString &path = settings_file_path());
