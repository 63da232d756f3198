#include "platform/console.h"

#include <QObject>

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <windows.h>

#include <shellapi.h>
#include <io.h>
#else
#include <csignal>
#include <pthread.h>
#include <unistd.h>
#endif

QStringList command_line_arguments(int argc, char *argv[])
{
    QStringList arguments;
#ifdef Q_OS_WIN
    int count = 0;
    if (wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments << QString::fromWCharArray(wide[i]);
        LocalFree(wide);
        return arguments;
    }
#endif
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

#ifdef Q_OS_WIN
namespace {

// Console control handlers are per process and run in a thread of their own:
// they only set the event that the notifier hands to the event loop. The
// event stays set until then: an interrupt before the notifier exists is held.
HANDLE interrupt_event = nullptr;
// Set once the event loop has taken the first interrupt: only an interrupt
// after that is a second one. Until then more of them are that first one
// (Wine may deliver one Ctrl+C twice).
LONG interrupt_handled = 0;
LONG interrupts_seen = 0;
int interrupt_exit_status = 1;
bool interrupt_taken = false;

BOOL WINAPI on_console_control(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        InterlockedIncrement(&interrupts_seen);
        if (InterlockedCompareExchange(&interrupt_handled, 1, 1) == 1)
            ExitProcess(static_cast<UINT>(interrupt_exit_status));
        SetEvent(interrupt_event);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void hold_stop_signals()
{
    if (interrupt_event)
        return;
    interrupt_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

void release_stop_signals()
{
    // With a notifier the handler stays; without one the interrupt ends the
    // program as it would have.
    if (!interrupt_taken)
        SetConsoleCtrlHandler(on_console_control, FALSE);
    if (!interrupt_taken && interrupts_seen > 0)
        ExitProcess(static_cast<UINT>(interrupt_exit_status));
}

#else

namespace {

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

// Blocked signals stay pending, and threads started later inherit the mask.
void hold_stop_signals()
{
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void release_stop_signals()
{
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

#endif

void on_console_interrupt(QObject *context, std::function<void()> on_interrupt, int exit_status)
{
#ifdef Q_OS_WIN
    hold_stop_signals();
    interrupt_exit_status = exit_status;
    interrupt_taken = true;
    auto *notifier = new QWinEventNotifier(interrupt_event, context);
    QObject::connect(notifier, &QWinEventNotifier::activated, context, [on_interrupt] {
        InterlockedExchange(&interrupt_handled, 1);
        on_interrupt();
    });
#else
    Q_UNUSED(context);
    Q_UNUSED(on_interrupt);
    Q_UNUSED(exit_status);
#endif
}

void prepare_console(bool window_mode)
{
#ifdef Q_OS_WIN
    // A console program started from Explorer gets a console of its own, the
    // only process in it: the window has no use for it.
    DWORD processes[2];
    if (window_mode && GetConsoleProcessList(processes, 2) == 1) {
        FreeConsole();
        return;
    }
    SetConsoleOutputCP(CP_UTF8);
    // Qt's own messages and --verbose's trace: to standard error even without a
    // console window (a script's pipe), not to the debugger channel.
    if (!window_mode)
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
#else
    Q_UNUSED(window_mode);
#endif
}

bool stream_is_terminal(std::FILE *stream)
{
#ifdef Q_OS_WIN
    if (!_isatty(_fileno(stream)))
        return false;
    const HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode)
           && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
#else
    return isatty(fileno(stream)) == 1;
#endif
}

void put(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size())
        || std::fflush(stream) != 0)
        std::clearerr(stream); // the reader went away: this text is dropped, the run goes on
}
