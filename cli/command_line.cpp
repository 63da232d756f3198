#include "cli/command_line.h"

#include <QCommandLineParser>
#include <QRegularExpression>

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
    QCommandLineOption file{QStringLiteral("file"), QStringLiteral("The raw firmware image to write."),
                            QStringLiteral("IMAGE")};
    QCommandLineOption port{QStringLiteral("port"),
                            QStringLiteral("A port to update: ttyUSB0, /dev/ttyUSB0, a /dev/serial/by-id or by-path "
                                           "link, or serial:SERIALNUMBER. Repeat for more ports (at most eight)."),
                            QStringLiteral("PORT")};
    QCommandLineOption parallel{QStringLiteral("parallel"),
                                QStringLiteral("Update every port at once; alone, opens the window in parallel mode.")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("JSON Lines events on standard output; human text on standard error.")};
    QCommandLineOption keep_going{QStringLiteral("keep-going"),
                                  QStringLiteral("A failed port does not end the run; the others are still updated.")};
    QCommandLineOption retries{QStringLiteral("retries"),
                               QStringLiteral("Try a failed port again from its scan up to N more times (default 0)."),
                               QStringLiteral("N"), QStringLiteral("0")};
    QCommandLineOption log{QStringLiteral("log"),
                           QStringLiteral("Append the time-stamped log, a header per run and the summary to FILE."),
                           QStringLiteral("FILE")};
    QCommandLineOption list_ports{QStringLiteral("list-ports"),
                                  QStringLiteral("List every serial port with its stable names and adapter details.")};
    QCommandLineOption wait_port{QStringLiteral("wait-port"),
                                 QStringLiteral("Wait up to SECONDS for named ports that do not exist yet."),
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
    QCommandLineOption verbose{QStringLiteral("verbose"), QStringLiteral("Diagnostic trace lines on standard error.")};
    QCommandLineOption version{QStringLiteral("version"), QStringLiteral("Print the name and version.")};
    QCommandLineOption help{{QStringLiteral("help"), QStringLiteral("h")}, QStringLiteral("This text.")};

    void add_to(QCommandLineParser &parser) const
    {
        for (const QCommandLineOption *option :
             {&file, &port, &parallel, &json, &keep_going, &retries, &log, &list_ports, &wait_port, &watch,
              &gone_after, &count, &verbose,
              &version, &help})
            parser.addOption(*option);
    }
};

} // namespace

QString usage_text()
{
    QCommandLineParser parser;
    Options options;
    options.add_to(parser);
    parser.setApplicationDescription(
        QStringLiteral("Writes a firmware image into Wi-Fi modules on serial ports. Without a run or query option "
                       "the window opens.\n\nExit status: 0 every port updated (--watch: no unit failed); 1 a port "
                       "failed or was skipped; "
                       "2 bad usage; 130 aborted by a signal."));
    QString text = parser.helpText();
    text.replace(QRegularExpression(QStringLiteral("<([A-Z]+)>")), QStringLiteral("\\1"));
    text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                 QStringLiteral("usage: tessik-update-tool"));
    return text;
}

CommandLine parse_command_line(const QStringList &arguments)
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

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    Options options;
    options.add_to(parser);

    CommandLine line;
    auto usage_error = [&line](const QString &message) {
        line.mode = CommandLine::Mode::usage_error;
        line.error = message;
        return line;
    };
    if (!parser.parse(own))
        return usage_error(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usage_error(QStringLiteral("unexpected argument ") + parser.positionalArguments().first());

    line.file = parser.value(options.file);
    line.ports = parser.values(options.port);
    line.parallel = parser.isSet(options.parallel);
    line.json = parser.isSet(options.json);
    line.keep_going = parser.isSet(options.keep_going);
    line.log_file = parser.value(options.log);
    line.verbose = parser.isSet(options.verbose);
    bool number_ok = true;
    line.retries = parser.value(options.retries).toInt(&number_ok);
    if (!number_ok || line.retries < 0)
        return usage_error(QStringLiteral("--retries needs a whole number of 0 or more"));
    if (parser.isSet(options.wait_port)) {
        line.wait_port_seconds = parser.value(options.wait_port).toDouble(&number_ok);
        if (!number_ok || line.wait_port_seconds < 0)
            return usage_error(QStringLiteral("--wait-port needs a number of seconds"));
    }

    line.watch = parser.isSet(options.watch);
    line.gone_after_seconds = parser.value(options.gone_after).toDouble(&number_ok);
    if (!number_ok || line.gone_after_seconds <= 0 || line.gone_after_seconds > 86400)
        return usage_error(QStringLiteral("--gone-after needs a number of seconds above 0"));
    line.count = parser.value(options.count).toInt(&number_ok);
    if (!number_ok || line.count < 0)
        return usage_error(QStringLiteral("--count needs a whole number of 0 or more"));
    if (!line.watch && (parser.isSet(options.gone_after) || parser.isSet(options.count)))
        return usage_error(QStringLiteral("--gone-after and --count need --watch"));

    if (parser.isSet(options.help)) {
        line.mode = CommandLine::Mode::help;
    } else if (parser.isSet(options.version)) {
        line.mode = CommandLine::Mode::version;
    } else if (parser.isSet(options.list_ports)) {
        line.mode = CommandLine::Mode::list_ports;
    } else if (parser.isSet(options.file) || parser.isSet(options.port)) {
        line.mode = CommandLine::Mode::run;
        if (line.file.isEmpty())
            return usage_error(QStringLiteral("--file IMAGE is missing"));
        if (line.ports.isEmpty())
            return usage_error(QStringLiteral("at least one --port is needed"));
    } else if (line.json || line.keep_going || line.retries > 0 || !line.log_file.isEmpty()
               || parser.isSet(options.wait_port)) {
        return usage_error(QStringLiteral("these options need --file and --port"));
    }
    return line;
}
