#include "cli/command_line.h"

#include "cli/human_text.h"
#include "engine/reply_lines.h"
#include "platform/language.h"
#include "protocol/wire.h"
#include "records/central_url.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Qt's own options and whether they take a value; they pass to Qt untouched.
bool is_qt_option(const QString &argument, bool *takes_value)
{
    static const QStringList with_value = {
        QStringLiteral("-platform"), QStringLiteral("-platformpluginpath"), QStringLiteral("-platformtheme"),
        QStringLiteral("-plugin"),   QStringLiteral("-style"),              QStringLiteral("-stylesheet"),
        QStringLiteral("-session"),  QStringLiteral("-display"),            QStringLiteral("-geometry"),
        QStringLiteral("-title"),    QStringLiteral("-name"),               QStringLiteral("-qwindowgeometry"),
        QStringLiteral("-qwindowtitle"), QStringLiteral("-qwindowicon"),
    };
    static const QStringList alone = {QStringLiteral("-reverse"), QStringLiteral("-widgetcount"),
                                      QStringLiteral("-nograb"), QStringLiteral("-dograb"), QStringLiteral("-sync")};
    const QString name = argument.section(QLatin1Char('='), 0, 0);
    if (with_value.contains(name)) {
        *takes_value = !argument.contains(QLatin1Char('='));
        return true;
    }
    *takes_value = false;
    return alone.contains(argument) || argument.startsWith(QLatin1String("-qmljsdebugger="));
}

struct Options
{
    QCommandLineOption file{{QStringLiteral("f"), QStringLiteral("file")}, QStringLiteral("The raw firmware image to write."),
                            QStringLiteral("IMAGE")};
    QCommandLineOption port{{QStringLiteral("p"), QStringLiteral("port")},
                            QStringLiteral("A port to update: ttyUSB0, /dev/ttyUSB0, a /dev/serial/by-id or by-path "
                                           "link, or serial:SERIALNUMBER. Repeat for more ports, as many as there are."),
                            QStringLiteral("PORT")};
    QCommandLineOption parallel{QStringLiteral("parallel"),
                                QStringLiteral("Update every port at once; alone, opens the window in parallel mode.")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("JSON Lines events on standard output; human text on standard error.")};
    QCommandLineOption keep_going{QStringLiteral("keep-going"),
                                  QStringLiteral("A failed port does not end the run; the others are still updated.")};
    QCommandLineOption no_low_latency{
        QStringLiteral("no-low-latency"),
        QStringLiteral(
            "Keep the driver's latency: do not ask a USB adapter to pass on the module's bytes at once.")};
    QCommandLineOption retries{QStringLiteral("retries"),
                               QStringLiteral("Try a failed port again from its scan up to N more times (default 0, at most 100)."),
                               QStringLiteral("N"), QStringLiteral("0")};
    QCommandLineOption log{QStringLiteral("log"),
                           QStringLiteral("Append the time-stamped log, a header per run and the summary to FILE."),
                           QStringLiteral("FILE")};
    QCommandLineOption list_ports{QStringLiteral("list-ports"),
                                  QStringLiteral("List every serial port with its stable names and adapter details.")};
    QCommandLineOption wait_port{QStringLiteral("wait-port"),
                                 QStringLiteral("Wait up to SECONDS (at most a day) for named ports that do not exist yet."),
                                 QStringLiteral("SECONDS")};
    QCommandLineOption watch{QStringLiteral("watch"),
                             QStringLiteral("Fixture loop: each port waits for a module, updates it, waits until it "
                                            "is taken out, and again. Alone, opens the window in parallel watch mode.")};
    QCommandLineOption gone_after{QStringLiteral("gone-after"),
                                  QStringLiteral("With --watch: a module silent this long counts as taken out "
                                                 "(default 3)."),
                                  QStringLiteral("SECONDS"), QStringLiteral("3")};
    QCommandLineOption count{QStringLiteral("count"),
                             QStringLiteral("With --watch: end after N units in total (default: until interrupted)."),
                             QStringLiteral("N"), QStringLiteral("0")};
    QCommandLineOption lang{QStringLiteral("lang"),
                            QStringLiteral("The language of the texts for people: zh (the default) or en. "
                                           "JSON events stay as they are."),
                            QStringLiteral("LANG")};
    QCommandLineOption verbose{{QStringLiteral("v"), QStringLiteral("verbose")},
                               QStringLiteral("Diagnostic trace lines on standard error.")};
    QCommandLineOption baud{QStringLiteral("baud"),
                            QStringLiteral("The application's rate, when it is known: no scan for it (one of "
                                           "115200, 9600, 14400, 19200, 38400, 57600)."),
                            QStringLiteral("RATE")};
    QCommandLineOption reset_sequence{
        QStringLiteral("reset-sequence"),
        QStringLiteral("A module whose application does not answer is first reset by the adapter's lines: "
                       "SEQ in esptool's syntax, D or R and 0 or 1 sets DTR or RTS, W and seconds waits, "
                       "| between steps (D0|R1|W0.1|D1|R0)."),
        QStringLiteral("SEQ")};
    QCommandLineOption reset_command{
        QStringLiteral("reset-command"),
        QStringLiteral("Next, CMD is run (no shell; {port}, {device}, {adapter_serial}, {hub_location} and "
                       "{hub_port} filled in), e.g. uhubctl -a cycle -l {hub_location} -p {hub_port}. Only "
                       "then is the operator asked to press reset."),
        QStringLiteral("CMD")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Print only failures and the summary line.")};
    QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Print the name and version.")};
    QCommandLineOption help{{QStringLiteral("help"), QStringLiteral("h")}, QStringLiteral("This text.")};
    QCommandLineOption expect_sha256{
        QStringLiteral("expect-sha256"),
        QStringLiteral("Refuse an image whose SHA-256 is not HEX (no port is touched)."),
        QStringLiteral("HEX")};
    QCommandLineOption history_db{QStringLiteral("history-db"),
                                  QStringLiteral("The history database (default "
                                                 "$XDG_DATA_HOME/tessik-update-tool/history.sqlite)."),
                                  QStringLiteral("PATH")};
    QCommandLineOption no_history{QStringLiteral("no-history"), QStringLiteral("Write no history rows.")};
    QCommandLineOption station{QStringLiteral("station"),
                               QStringLiteral("The station's name in the history (default the host name)."),
                               QStringLiteral("NAME")};
    QCommandLineOption operator_name{
        QStringLiteral("operator"),
        QStringLiteral("The operator's name in the history (default the login name)."),
        QStringLiteral("NAME")};
    QCommandLineOption central_db{
        QStringLiteral("central-db"),
        QStringLiteral("Also send every history row to this PostgreSQL database, a libpq connection "
                       "string (postgresql://user@host:port/dbname or host=... dbname=... sslmode=...); "
                       "rows wait locally while it cannot be reached."),
        QStringLiteral("URL")};
    QCommandLineOption sync{
        QStringLiteral("sync"),
        QStringLiteral("Send the rows still pending to the central database now; exit 0 only "
                       "when none is left.")};
    QCommandLineOption pending{
        QStringLiteral("pending"),
        QStringLiteral("With --history: only rows the central database has not confirmed.")};
    QCommandLineOption central{QStringLiteral("central"),
                               QStringLiteral("With --history: query the central database (every station; "
                                              "--station NAME filters one).")};
    QCommandLineOption history{
        QStringLiteral("history"),
        QStringLiteral("Print the history, newest first (a table; --json or --csv). With "
                       "--port NAME only that port.")};
    QCommandLineOption stats{
        QStringLiteral("stats"),
        QStringLiteral("With --history: attempts, units ok, first-pass and final yield, mean "
                       "seconds per station, port and image.")};
    QCommandLineOption csv{QStringLiteral("csv"), QStringLiteral("With --history: CSV with a header row.")};
    QCommandLineOption since{
        QStringLiteral("since"),
        QStringLiteral("With --history: rows ended at or after WHEN (ISO date or date-time; "
                       "local time unless it says Z or an offset)."),
        QStringLiteral("WHEN")};
    QCommandLineOption sha256{QStringLiteral("sha256"),
                              QStringLiteral("With --history: images whose SHA-256 starts with PREFIX."),
                              QStringLiteral("PREFIX")};
    QCommandLineOption result{
        QStringLiteral("result"),
        QStringLiteral("With --history: rows that ended ok, failed, aborted or skipped."),
        QStringLiteral("RESULT")};
    QCommandLineOption module_id{QStringLiteral("module-id"),
                                 QStringLiteral("With --history: rows of the module with this identity."),
                                 QStringLiteral("ID")};
    QCommandLineOption limit{QStringLiteral("limit"),
                             QStringLiteral("With --history: at most N rows. With --report: at most N rows "
                                            "embedded (default 100000; the figures count every row)."),
                             QStringLiteral("N")};
    QCommandLineOption report{
        QStringLiteral("report"),
        QStringLiteral("Write a yield report of the history to FILE, one HTML page that needs nothing "
                       "else: totals, units and yield per hour, failures by reason, ports, images, and "
                       "the rows as JSON. Takes the filters of --history and --central."),
        QStringLiteral("FILE")};

    QCommandLineOption verify{QStringLiteral("verify"),
                              QStringLiteral("After the transfer wait for the new application's \"OK\" (\"+++\" at the "
                                             "scan's rates); a port whose application does not answer fails "
                                             "(not_booted).")};
    QCommandLineOption verify_timeout{QStringLiteral("verify-timeout"),
                                      QStringLiteral("How long --verify waits (default 30)."),
                                      QStringLiteral("SECONDS")};
    QCommandLineOption version_command{
        QStringLiteral("version-command"),
        QStringLiteral("With --verify: after the application's \"OK\" send CMD (C escapes such as \\r) and "
                       "check its reply within 2 s with --expect-version and --min-version (else wrong_version)."),
        QStringLiteral("CMD")};
    QCommandLineOption expect_version{QStringLiteral("expect-version"),
                                      QStringLiteral("A word the reply to --version-command must hold, whole "
                                                     "(2.4.1 is not 2.4.10)."),
                                      QStringLiteral("TEXT")};
    QCommandLineOption min_version{QStringLiteral("min-version"),
                                   QStringLiteral("The version in that reply must be at least X.Y.Z "
                                                  "(2.4.10 > 2.4.9 > 2.4)."),
                                   QStringLiteral("X.Y.Z")};
    QCommandLineOption id_command{
        QStringLiteral("id-command"),
        QStringLiteral("Before the reboot into the boot loader send CMD (C escapes) and record the first "
                       "line of the reply as the module's identity."),
        QStringLiteral("CMD")};
    QCommandLineOption id_pattern{QStringLiteral("id-pattern"),
                                  QStringLiteral("With --id-command: an identity must match REGEX, whole; another "
                                                 "reply fails the port (no_identity)."),
                                  QStringLiteral("REGEX")};
    QCommandLineOption skip_done{
        QStringLiteral("skip-done"),
        QStringLiteral("With --id-command: a module the history already has an ok row of for this image "
                       "is left as it is (skipped, already_done).")};

    QCommandLineOption trusted_key{
        QStringLiteral("trusted-key"),
        QStringLiteral("Flash only images that a release manifest signed with this minisign public key "
                       "lists (see --manifest); any other is refused before a port is touched."),
        QStringLiteral("FILE")};
    QCommandLineOption manifest{
        QStringLiteral("manifest"),
        QStringLiteral("With --trusted-key: the release manifest (JSON), signed in FILE.minisig."),
        QStringLiteral("FILE")};

    struct Group
    {
        const char *title;
        std::vector<const QCommandLineOption *> options;
    };

    // Every option, by the task it serves: the order of the help.
    std::vector<Group> groups() const
    {
        return {
            {"Update modules", {&file, &port, &parallel, &keep_going, &retries, &wait_port, &baud, &expect_sha256,
                                &trusted_key, &manifest, &no_low_latency}},
            {"Check what was written, and which module took it",
             {&verify, &verify_timeout, &version_command, &expect_version, &min_version, &id_command, &id_pattern,
              &skip_done}},
            {"A fixture station: module after module",
             {&watch, &gone_after, &count, &reset_sequence, &reset_command}},
            {"What a run prints", {&json, &log, &quiet, &verbose, &lang}},
            {"The history of every update", {&history_db, &no_history, &station, &operator_name, &central_db, &sync}},
            {"Questions to the history", {&history, &report, &stats, &csv, &since, &sha256, &result, &module_id,
                                          &limit, &pending, &central}},
            {"Other", {&list_ports, &version, &help}},
        };
    }

    void add_to(QCommandLineParser &parser) const
    {
        for (const Group &group : groups()) {
            for (const QCommandLineOption *option : group.options)
                parser.addOption(*option);
        }
    }
};

// The C escapes of a command given on the command line: \r \n \t \\ \0 \xHH.
QByteArray unescape(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in.at(i) != '\\' || i + 1 == in.size()) {
            out += in.at(i);
            continue;
        }
        const char c = in.at(++i);
        bool hex_ok = false;
        const int hex = c == 'x' ? in.mid(i + 1, 2).toInt(&hex_ok, 16) : 0;
        switch (c) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 'x':
            out += hex_ok ? char(hex) : 'x';
            i += hex_ok ? 2 : 0;
            break;
        default: out += c; break;
        }
    }
    return out;
}

// --retries and --wait-port, within their bounds; the error, if any.
QString read_numbers(const QCommandLineParser &parser, const Options &options, CommandLine &line)
{
    bool number_ok = true;
    line.retries = parser.value(options.retries).toInt(&number_ok);
    if (!number_ok || line.retries < 0 || line.retries > max_retries)
        return HumanText::tr("--retries needs a whole number from 0 to %1").arg(max_retries);
    if (parser.isSet(options.wait_port)) {
        line.wait_port_seconds = parser.value(options.wait_port).toDouble(&number_ok);
        if (!number_ok || !std::isfinite(line.wait_port_seconds) || line.wait_port_seconds < 0
            || line.wait_port_seconds > max_wait_port_seconds)
            return HumanText::tr("--wait-port needs a number of seconds from 0 to %1").arg(max_wait_port_seconds);
    }
    return QString();
}

// --expect-version, --min-version and --id-pattern; the error, if any.
QString read_check_patterns(const QCommandLineParser &parser, const Options &options, CheckOptions &checks)
{
    if (!checks.expect_version.isEmpty() && reply_words(checks.expect_version).isEmpty())
        return HumanText::tr("--expect-version needs a word, not only separators");
    if (parser.isSet(options.min_version)) {
        checks.min_version = dotted_version(parser.value(options.min_version).toUtf8());
        if (checks.min_version.isNull())
            return HumanText::tr("--min-version needs numbers separated by dots, such as 2.4.1");
    }
    if (!parser.isSet(options.id_pattern))
        return QString();
    if (checks.id_command.isEmpty())
        return HumanText::tr("--id-pattern needs --id-command");
    checks.id_pattern.setPattern(QRegularExpression::anchoredPattern(parser.value(options.id_pattern)));
    if (parser.value(options.id_pattern).isEmpty())
        return HumanText::tr("--id-pattern needs a regular expression");
    if (!checks.id_pattern.isValid())
        return HumanText::tr("--id-pattern: ") + checks.id_pattern.errorString();
    return QString();
}

} // namespace

QString try_help_text()
{
    return HumanText::tr("Try 'tessik-update-tool --help' for more.\n");
}

namespace {

constexpr int help_width = 80;
constexpr int help_indent = 24;

// Words of text after indent columns, in lines of at most help_width.
QString wrapped(const QString &text, int first_column, int indent)
{
    QString out, line;
    int column = first_column;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && column + 1 + word.size() > help_width) {
            out += line + QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            line.clear();
            column = indent;
        }
        if (!line.isEmpty()) {
            line += QLatin1Char(' ');
            ++column;
        }
        line += word;
        column += word.size();
    }
    return out + line + QLatin1Char('\n');
}

// "  -f, --file IMAGE": the short name first.
QString option_label(const QCommandLineOption &option)
{
    QStringList names = option.names();
    std::stable_sort(names.begin(), names.end(), [](const QString &a, const QString &b) { return a.size() < b.size(); });
    for (QString &name : names)
        name.prepend(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"));
    const QString value = option.valueName().isEmpty() ? QString() : QLatin1Char(' ') + option.valueName();
    return QStringLiteral("  ") + names.join(QStringLiteral(", ")) + value;
}

} // namespace

QString usage_text()
{
    QString text = QStringLiteral(
        "usage: tessik-update-tool [-f IMAGE -p PORT...] [options]\n\n");
    text += wrapped(QStringLiteral("Writes a firmware image into Wi-Fi modules on serial ports. Without a run or "
                                   "query option the window opens."),
                    0, 0);
    const Options options;
    for (const Options::Group &group : options.groups()) {
        text += QLatin1Char('\n') + QLatin1String(group.title) + QStringLiteral(":\n");
        for (const QCommandLineOption *option : group.options) {
            const QString label = option_label(*option);
            text += label.size() < help_indent - 1
                        ? label.leftJustified(help_indent) + wrapped(option->description(), help_indent, help_indent)
                        : label + QLatin1Char('\n') + QString(help_indent, QLatin1Char(' '))
                              + wrapped(option->description(), help_indent, help_indent);
        }
    }
    text += QLatin1Char('\n')
            + wrapped(QStringLiteral("Exit status: 0 every port updated (or already done; --watch: no unit "
                                     "failed); 1 a port failed or was skipped; 2 bad usage; 3 every port updated "
                                     "but its history rows could not be written; 130 aborted by a signal."),
                      0, 0);
    return text;
}

namespace {

QString read_records(const QCommandLineParser &parser, const Options &options, CommandLine &line)
{
    line.records.enabled = !parser.isSet(options.no_history);
    line.records.db_path = parser.value(options.history_db);
    line.records.station = parser.value(options.station);
    line.records.operator_name = parser.value(options.operator_name);
    line.records.central_db = parser.value(options.central_db);
    line.records.trusted_key = parser.value(options.trusted_key);
    line.records.manifest = parser.value(options.manifest);
    if (!line.records.central_db.isEmpty() && !parse_central_url(line.records.central_db).valid())
        return parse_central_url(line.records.central_db).error;
    if (parser.isSet(options.expect_sha256)) {
        line.expect_sha256 = parser.value(options.expect_sha256).toLower();
        if (!is_sha256(line.expect_sha256))
            return HumanText::tr("--expect-sha256 needs the 64 hex digits of a SHA-256");
    }
    return QString();
}

QString read_checks(const QCommandLineParser &parser, const Options &options, CommandLine &line)
{
    line.checks.verify = parser.isSet(options.verify);
    if (parser.isSet(options.verify_timeout)) {
        bool number_ok = false;
        const double seconds = parser.value(options.verify_timeout).toDouble(&number_ok);
        if (!number_ok || !(seconds > 0 && seconds <= 3600))
            return HumanText::tr("--verify-timeout needs a number of seconds (at most 3600)");
        line.checks.verify_timeout_ms = int(seconds * 1000);
    }
    line.checks.version_command = unescape(parser.value(options.version_command));
    line.checks.expect_version = unescape(parser.value(options.expect_version));
    line.checks.id_command = unescape(parser.value(options.id_command));
    line.skip_done = parser.isSet(options.skip_done);
    const QString check_error = read_check_patterns(parser, options, line.checks);
    if (!check_error.isEmpty())
        return check_error;
    const bool version_checked = !line.checks.expect_version.isEmpty() || !line.checks.min_version.isNull();
    if (line.checks.version_command.isEmpty() == version_checked)
        return HumanText::tr("--version-command goes together with --expect-version or --min-version");
    if (!line.checks.version_command.isEmpty() && !line.checks.verify)
        return HumanText::tr("--version-command needs --verify");
    if (line.skip_done && line.checks.id_command.isEmpty())
        return HumanText::tr("--skip-done needs --id-command");
    if (line.skip_done && !line.records.enabled)
        return HumanText::tr("--skip-done reads the history: not with --no-history");
    return QString();
}

// The --history query's filters and forms; query_option tells whether any was given.
QString read_query(const QCommandLineParser &parser, const Options &options, CommandLine &line, bool &query_option)
{
    QString filter_error;
    const bool filters_ok =
        (!parser.isSet(options.since) || parse_since(parser.value(options.since), line.filter, filter_error))
        && (!parser.isSet(options.sha256)
            || parse_sha256_prefix(parser.value(options.sha256), line.filter, filter_error))
        && (!parser.isSet(options.result)
            || parse_result(parser.value(options.result), line.filter, filter_error))
        && (!parser.isSet(options.limit)
            || parse_limit(parser.value(options.limit), line.filter, filter_error));
    if (!filters_ok)
        return filter_error;
    line.filter.module_id = parser.value(options.module_id);
    line.stats = parser.isSet(options.stats);
    line.csv = parser.isSet(options.csv);
    line.central = parser.isSet(options.central);
    line.filter.pending = parser.isSet(options.pending);
    query_option = line.stats || line.csv || parser.isSet(options.since) || parser.isSet(options.sha256)
                   || parser.isSet(options.result) || parser.isSet(options.module_id)
                   || parser.isSet(options.limit) || line.central || line.filter.pending;
    return QString();
}

QString read_watch(const QCommandLineParser &parser, const Options &options, CommandLine &line)
{
    line.watch = parser.isSet(options.watch);
    line.reset.sequence = parser.value(options.reset_sequence);
    line.reset.command = parser.value(options.reset_command);
    QString sequence_error;
    if (parser.isSet(options.reset_sequence)
        && parse_reset_sequence(line.reset.sequence, &sequence_error).isEmpty())
        return HumanText::tr("--reset-sequence: ")
               + (sequence_error.isEmpty() ? HumanText::tr("no step") : sequence_error);
    if (parser.isSet(options.reset_command) && reset_command_words(line.reset.command, {}).isEmpty())
        return HumanText::tr("--reset-command: no command");
    bool number_ok = true;
    line.gone_after_seconds = parser.value(options.gone_after).toDouble(&number_ok);
    if (!number_ok || line.gone_after_seconds <= 0 || line.gone_after_seconds > 86400)
        return HumanText::tr("--gone-after needs a number of seconds above 0");
    line.count = parser.value(options.count).toInt(&number_ok);
    if (!number_ok || line.count < 0)
        return HumanText::tr("--count needs a whole number of 0 or more");
    if (!line.watch && (parser.isSet(options.gone_after) || parser.isSet(options.count)))
        return HumanText::tr("--gone-after and --count need --watch");
    return QString();
}

QString check_history_mode(const QCommandLineParser &parser, const Options &options, CommandLine &line)
{
    const bool report = line.mode == CommandLine::Mode::report;
    const QString name = report ? QStringLiteral("--report") : QStringLiteral("--history");
    if (parser.isSet(options.file) || line.ports.size() > 1)
        return name + HumanText::tr(" takes no --file and at most one --port");
    if (report && (line.json || line.csv || line.stats || line.filter.pending))
        return HumanText::tr("--report writes HTML: not with --json, --csv, --stats or --pending");
    if (report && parser.isSet(options.history))
        return HumanText::tr("--history or --report, not both");
    line.report_file = parser.value(options.report);
    if (report && line.report_file.isEmpty())
        return HumanText::tr("--report needs the name of the file to write");
    if (line.json && line.csv)
        return HumanText::tr("--json or --csv, not both");
    if (!line.records.enabled)
        return name + HumanText::tr(" reads the history: not with --no-history");
    if (line.central && line.filter.pending)
        return HumanText::tr("--pending lists this station's rows: not with --central");
    line.filter.port = line.ports.value(0);
    line.filter.station = line.records.station;
    return QString();
}

// The mode the options ask for, and what that mode needs besides.
QString choose_mode(const QCommandLineParser &parser, const Options &options, bool query_option, CommandLine &line)
{
    if (parser.isSet(options.help)) {
        line.mode = CommandLine::Mode::help;
    } else if (parser.isSet(options.version)) {
        line.mode = CommandLine::Mode::version;
    } else if (parser.isSet(options.sync)) {
        line.mode = CommandLine::Mode::sync;
    } else if (parser.isSet(options.list_ports)) {
        line.mode = CommandLine::Mode::list_ports;
    } else if (parser.isSet(options.report)) {
        line.mode = CommandLine::Mode::report;
        return check_history_mode(parser, options, line);
    } else if (parser.isSet(options.history)) {
        line.mode = CommandLine::Mode::history;
        return check_history_mode(parser, options, line);
    } else if (query_option) {
        return HumanText::tr("these options need --history or --report");
    } else if (parser.isSet(options.file) || parser.isSet(options.port)) {
        line.mode = CommandLine::Mode::run;
        if (line.file.isEmpty())
            return HumanText::tr("--file IMAGE is missing");
        if (line.ports.isEmpty())
            return HumanText::tr("at least one --port is needed");
    } else if (line.json || line.keep_going || line.retries > 0 || !line.log_file.isEmpty() || line.baud > 0 || line.quiet
               || parser.isSet(options.wait_port) || !line.expect_sha256.isEmpty()) {
        return HumanText::tr("these options need --file and --port");
    }
    return QString();
}

// Qt's own options (-style, -platform and the like) are Qt's, not ours.
QStringList own_arguments(const QStringList &arguments)
{
    QStringList own = arguments.mid(0, 1);
    for (int i = 1; i < arguments.size(); ++i) {
        bool takes_value = false;
        if (is_qt_option(arguments.at(i), &takes_value)) {
            i += takes_value ? 1 : 0;
            continue;
        }
        own << arguments.at(i);
    }
    return own;
}

} // namespace

CommandLine parse_command_line(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    Options options;
    options.add_to(parser);

    CommandLine line;
    const auto usage_error = [&line](const QString &message) {
        line.mode = CommandLine::Mode::usage_error;
        line.error = message;
        return line;
    };
    if (!parser.parse(own_arguments(arguments)))
        return usage_error(parser.errorText());
    // First, so that even a usage error can be told in the language asked for.
    line.records.language = parser.value(options.lang);
    Language language = Language::chinese;
    if (parser.isSet(options.lang) && !language_named(line.records.language, language))
        return usage_error(HumanText::tr("--lang needs zh or en"));
    if (!parser.positionalArguments().isEmpty())
        return usage_error(HumanText::tr("unexpected argument ") + parser.positionalArguments().first());

    line.file = parser.value(options.file);
    line.ports = parser.values(options.port);
    line.parallel = parser.isSet(options.parallel);
    line.json = parser.isSet(options.json);
    line.keep_going = parser.isSet(options.keep_going);
    line.records.low_latency = !parser.isSet(options.no_low_latency);
    line.log_file = parser.value(options.log);
    line.verbose = parser.isSet(options.verbose);
    line.quiet = parser.isSet(options.quiet);
    if (parser.isSet(options.baud)) {
        line.baud = parser.value(options.baud).toInt();
        if (std::find(wire::scan_rates.begin(), wire::scan_rates.end(), line.baud) == wire::scan_rates.end())
            return usage_error(HumanText::tr("--baud needs one of 115200, 9600, 14400, 19200, 38400, 57600"));
    }
    bool query_option = false;
    for (const QString &error : {read_numbers(parser, options, line), read_records(parser, options, line),
                                 read_checks(parser, options, line), read_query(parser, options, line, query_option),
                                 read_watch(parser, options, line)}) {
        if (!error.isEmpty())
            return usage_error(error);
    }
    const QString mode_error = choose_mode(parser, options, query_option, line);
    return mode_error.isEmpty() ? line : usage_error(mode_error);
}
