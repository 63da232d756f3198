#pragma once

#include <QDate>
#include <QString>
#include <QStringList>

// The record of every update kept on disk: each log line of the window goes
// to the file of its day, <state>/tessik-update-tool/YYYY-MM-DD.log, where
// <state> is $XDG_STATE_HOME or else $HOME/.local/state. The file is opened,
// appended to and closed for every line, so a killed tool loses nothing
// written before. A record that cannot be written never stops an update; it
// costs one warning on standard error per process.
class UpdateRecord
{
public:
    UpdateRecord(); // reads the environment

    QString folder() const { return record_folder; }
    QString file_of(const QDate &day) const;

    // False when the line could not be written.
    bool append(const QDate &day, const QString &line);

private:
    QString record_folder;
};

// Body of the line that opens a run in the record: the tool's version, the
// image (path, size and SHA-256, read now) and the ports of the run.
QString run_header(const QString &version, const QString &image_path, const QStringList &ports,
                   bool parallel);
