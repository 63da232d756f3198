#include "records/record_settings.h"

#include "engine/reset_ladder.h"

#include "platform/language.h"
#include "records/central_url.h"
#include "records/history_store.h"

#include <QFile>
#include <QHash>
#include <QStandardPaths>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
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

namespace {

QStringList known_keys()
{
    return {QStringLiteral("station"),        QStringLiteral("operator"),      QStringLiteral("central_db"),
            QStringLiteral("history_db"),     QStringLiteral("verify"),        QStringLiteral("trusted_key"),
            QStringLiteral("manifest"),       QStringLiteral("language"),      QStringLiteral("low_latency"),
            QStringLiteral("reset_sequence"), QStringLiteral("reset_command")};
}

// The file's keys and values as written: after the first '=' up to the end
// of the line, trimmed; commas, quotes and backslashes are the value's own.
QHash<QString, QString> read_settings(const QString &path, const QString &text, QStringList &warnings)
{
    QHash<QString, QString> values;
    QString section;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int number = 1; number <= lines.size(); ++number) {
        const QString line = lines[number - 1].trimmed();
        const QString where = QStringLiteral("%1 line %2").arg(path).arg(number);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const QString key = line.section(QLatin1Char('='), 0, 0).trimmed();
        if (!line.contains(QLatin1Char('=')) || key.isEmpty())
            warnings << QStringLiteral("%1 is no key=value line: not used").arg(where);
        else if (!section.isEmpty() && section.compare(QLatin1String("General"), Qt::CaseInsensitive) != 0)
            warnings
                << QStringLiteral("%1: the key %2 is in the section [%3]: not used").arg(where, key, section);
        else if (!known_keys().contains(key))
            warnings << QStringLiteral("%1: unknown key %2, not used (the keys are %3)")
                            .arg(where, key, known_keys().join(QStringLiteral(", ")));
        else
            values[key] = line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
    }
    return values;
}

// libpq's rule for ~/.pgpass: no permission at all for group or others.
QString password_file_error(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)))
        return QStringLiteral("%1 holds a password, but group or others may read it (mode %2): "
                              "chmod 600 it, or keep the password in PGPASSFILE (~/.pgpass)")
            .arg(path)
            .arg(status.st_mode & 0777, 4, 8, QLatin1Char('0'));
#else
    Q_UNUSED(path)
#endif
    return QString();
}

} // namespace

ReleaseApproval release_approval(const RecordSettings &settings, const QString &image_sha256)
{
    if (settings.trusted_key.isEmpty())
        return {};
    if (settings.manifest.isEmpty()) {
        ReleaseApproval none;
        none.error =
            QStringLiteral("a trusted key is set, but no release manifest (--manifest, or manifest in %1)")
                .arg(settings_file_path());
        return none;
    }
    return approve_image_files(settings.trusted_key, settings.manifest, image_sha256,
                               QDateTime::currentDateTimeUtc());
}

SettingsFileReport apply_settings_file(RecordSettings &settings, const QString &path)
{
    SettingsFileReport report;
    QFile file(path);
    if (!file.exists())
        return report;
    if (!file.open(QIODevice::ReadOnly)) {
        report.error = QStringLiteral("cannot read the settings file %1: %2").arg(path, file.errorString());
        return report;
    }
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xfeff))) // a byte order mark, as some Windows editors write
        text.remove(0, 1);
    const QHash<QString, QString> values = read_settings(path, text, report.warnings);
    if (central_db_holds_password(values.value(QStringLiteral("central_db")))) {
        report.error = password_file_error(path);
        if (!report.error.isEmpty())
            return report;
    }
    auto fill = [&values](QString &field, const char *key) {
        if (field.isEmpty())
            field = values.value(QLatin1String(key));
    };
    fill(settings.station, "station");
    fill(settings.operator_name, "operator");
    fill(settings.central_db, "central_db");
    fill(settings.db_path, "history_db");
    fill(settings.trusted_key, "trusted_key");
    fill(settings.manifest, "manifest");
    fill(settings.language, "language");
    fill(settings.reset_sequence, "reset_sequence");
    fill(settings.reset_command, "reset_command");
    QString sequence_error;
    if (!settings.reset_sequence.isEmpty()
        && parse_reset_sequence(settings.reset_sequence, &sequence_error).isEmpty()) {
        report.warnings << QStringLiteral("%1: reset_sequence: %2: not used").arg(path, sequence_error);
        settings.reset_sequence.clear();
    }
    Language language = Language::chinese;
    if (!settings.language.isEmpty() && !language_named(settings.language, language)) {
        report.warnings
            << QStringLiteral("%1: language is zh or en, not %2: not used").arg(path, settings.language);
        settings.language.clear();
    }
    const QString verify = values.value(QStringLiteral("verify")).toLower();
    const QStringList yes = {QStringLiteral("true"), QStringLiteral("1"), QStringLiteral("yes"),
                             QStringLiteral("on")};
    const QStringList no = {QStringLiteral("false"), QStringLiteral("0"), QStringLiteral("no"),
                            QStringLiteral("off")};
    if (yes.contains(verify))
        settings.verify = true;
    else if (!verify.isEmpty() && !no.contains(verify))
        report.warnings << QStringLiteral("%1: verify is true or false, not %2: not used").arg(path, verify);
    const QString low_latency = values.value(QStringLiteral("low_latency")).toLower();
    if (no.contains(low_latency))
        settings.low_latency = false;
    else if (!low_latency.isEmpty() && !yes.contains(low_latency))
        report.warnings
            << QStringLiteral("%1: low_latency is true or false, not %2: not used").arg(path, low_latency);
    return report;
}
