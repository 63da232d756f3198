#pragma once

#include <QString>

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

    QString resolved_db_path() const;
    QString resolved_station() const;
    QString resolved_operator() const;
};

// $XDG_CONFIG_HOME/tessik-update-tool/settings.ini
QString settings_file_path();

// Fills the empty fields from the file's keys station, operator, central_db,
// history_db and verify. A missing file changes nothing.
void apply_settings_file(RecordSettings &settings, const QString &path = settings_file_path());
