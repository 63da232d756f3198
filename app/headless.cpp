#include "app/headless.h"

#include "app/mainwindow.h"
#include "app/modal_ui.h"
#include "app/platform.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTextCodec>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int exit_usage = 2;

const char usage_text[] =
    "usage: tessik-update-tool [--file IMAGE --port NAME [--port NAME ...]]\n"
    "\n"
    "Without arguments the tool opens its window.\n"
    "With --file and --port it runs one update without a window: the named ports\n"
    "(at most eight, each a listed port or an absolute device path) are updated\n"
    "one after another with IMAGE. Log lines and progress go to standard output,\n"
    "message boxes to standard error.\n"
    "\n"
    "  --file IMAGE   the firmware image to write\n"
    "  --port NAME    a port to update (repeat for more ports)\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 when every port was updated, 1 when any failed, 2 for bad arguments.\n";

struct HeadlessArgs
{
    QString file;
    QStringList ports;
    bool help = false;
    QString error;
};

HeadlessArgs parse_args(const QStringList &args)
{
    HeadlessArgs parsed;
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            parsed.help = true;
        } else if (arg == QLatin1String("--file") || arg == QLatin1String("--port")) {
            if (i + 1 >= args.size()) {
                parsed.error = arg + QStringLiteral(" needs an argument");
                return parsed;
            }
            const QString value = args.at(++i);
            if (arg == QLatin1String("--file"))
                parsed.file = value;
            else
                parsed.ports << value;
        } else {
            parsed.error = QStringLiteral("unknown option ") + arg;
            return parsed;
        }
    }
    if (parsed.help)
        return parsed;
    parsed.ports.removeDuplicates();
    if (parsed.file.isEmpty())
        parsed.error = QStringLiteral("--file IMAGE is missing");
    else if (parsed.ports.isEmpty())
        parsed.error = QStringLiteral("at least one --port NAME is needed");
    else if (parsed.ports.size() > MainWindow::max_ports)
        parsed.error = QStringLiteral("at most eight ports");
    return parsed;
}

int usage_error(const QString &message)
{
    std::fprintf(stderr, "tessik-update-tool: %s\n\n%s", message.toUtf8().constData(), usage_text);
    return exit_usage;
}

void print_line(std::FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

// Answers every box at once by printing it; the dialog is never asked for.
class PrintingModalUi : public ModalUi
{
public:
    void warning(QWidget *, const QString &title, const QString &text) override { print(title, text); }
    void critical(QWidget *, const QString &title, const QString &text) override { print(title, text); }
    void about(QWidget *, const QString &title, const QString &text) override { print(title, text); }
    QString open_file_name(QWidget *, const QString &, const QString &, const QString &) override
    {
        return QString();
    }

private:
    static void print(const QString &title, const QString &text)
    {
        print_line(stderr, title + QStringLiteral(": ") + text + QLatin1Char('\n'));
    }
};

// Offers absolute device paths that are not listed yet the way
// TESSIK_EXTRA_PORTS would, so the window lists them.
QString offer_paths(const QStringList &ports)
{
    const QStringList listed = list_port_names();
    QStringList extra;
    for (const QString &name : ports) {
        if (listed.contains(name))
            continue;
        if (!name.startsWith(QLatin1Char('/')))
            return QStringLiteral("port ") + name + QStringLiteral(" is not listed");
        extra << name;
    }
    if (!extra.isEmpty()) {
        QString value = qEnvironmentVariable("TESSIK_EXTRA_PORTS");
        if (!value.isEmpty())
            value += QLatin1Char(':');
        qputenv("TESSIK_EXTRA_PORTS", (value + extra.join(QLatin1Char(':'))).toUtf8());
    }
    return QString();
}

} // namespace

// Drives one run through the window's own slots, as an operator would.
class HeadlessRun
{
public:
    HeadlessRun(MainWindow &window, const HeadlessArgs &args) : window(window), args(args) {}

    QString select()
    {
        for (const QString &name : args.ports) {
            const int row = row_of(name);
            if (row < 0 || row >= MainWindow::max_ports)
                return QStringLiteral("port ") + name + QStringLiteral(" is not among the eight selectable ports");
            window.check_boxes[row]->setChecked(true);
        }
        window.firmware_path = args.file;
        return QString();
    }

    int run(QApplication &app)
    {
        int successes = 0;
        window.set_modal_ui(std::make_unique<PrintingModalUi>());
        window.log_listener = [&](const QString &line) {
            print_line(stdout, line);
            for (const QString &name : args.ports) {
                if (line.endsWith(name + QStringLiteral("对应设备升级成功\n")))
                    ++successes;
            }
        };
        window.progress_listener = [&](const QString &name, const QString &text) {
            if (last_progress.value(name) == text)
                return;
            last_progress[name] = text;
            print_line(stdout, name + QLatin1Char(' ') + text + QLatin1Char('\n'));
        };

        QTimer::singleShot(0, &window, [this] { window.send_file(); });
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &app, [&] {
            if (window.update_button->isEnabled())
                app.quit();
        });
        watch.start(20);
        app.exec();
        return successes == args.ports.size() ? 0 : 1;
    }

private:
    int row_of(const QString &name) const
    {
        int row = 0;
        for (auto it = window.port_table.cbegin(); it != window.port_table.cend(); ++it, ++row) {
            if (it.key() == name)
                return row;
        }
        return -1;
    }

    MainWindow &window;
    const HeadlessArgs &args;
    QMap<QString, QString> last_progress;
};

bool wants_headless_run(int argc, char *argv[])
{
    Q_UNUSED(argv);
    return argc > 1;
}

int run_headless(int argc, char *argv[])
{
    QStringList raw;
    for (int i = 0; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    const HeadlessArgs args = parse_args(raw);
    if (args.help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (!args.error.isEmpty())
        return usage_error(args.error);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf8"));
    const QString offer_error = offer_paths(args.ports);
    if (!offer_error.isEmpty())
        return usage_error(offer_error);

    MainWindow window;
    HeadlessRun run(window, args);
    const QString select_error = run.select();
    if (!select_error.isEmpty())
        return usage_error(select_error);
    return run.run(app);
}
