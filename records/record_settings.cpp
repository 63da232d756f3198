#include "records/record_settings.h"

#include "records/history_store.h"

#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

QString RecordSettings::resolved_db_path() const
{
    return db_path.isEmpty() ? HistoryStore::default_path() : db_path;
}

QString RecordSettings::resolved_station() const
{
    return station.isEmpty() ? QSysInfo::machineHostName() : station;
}

QString RecordSettings::resolved_operator() const
{
    if (!operator_name.isEmpty())
        return operator_name;
#ifdef Q_OS_UNIX
    if (const passwd *entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
#endif
    return qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME"));
}

QString settings_file_path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/tessik-update-tool/settings.ini");
}

void apply_settings_file(RecordSettings &settings, const QString &path)
{
    const QSettings file(path, QSettings::IniFormat);
    auto fill = [&file](QString &field, const char *key) {
        if (field.isEmpty())
            field = file.value(QLatin1String(key)).toString();
    };
    fill(settings.station, "station");
    fill(settings.operator_name, "operator");
    fill(settings.central_db, "central_db");
    fill(settings.db_path, "history_db");
    settings.verify = settings.verify || file.value(QStringLiteral("verify")).toBool();
}
