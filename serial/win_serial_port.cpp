#include "serial/win_serial_port.h"

#include "platform/ports.h"

#include <QThread>
#include <QtGlobal>

#include <chrono>
#include <utility>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// An idle read ends this often, so the reader looks for a stop even where
// cancelling a read does not reach the driver.
constexpr DWORD reader_idle_ms = 200;
// Reads failing one after another while the driver still answers
// ClearCommError: past this the device is taken as broken.
constexpr int line_errors_tolerated = 100;

HANDLE as_handle(void *handle)
{
    return static_cast<HANDLE>(handle);
}

} // namespace

SerialPort::SerialPort(const QString &device_name) : device(device_name), handle(INVALID_HANDLE_VALUE)
{}

SerialPort::~SerialPort()
{
    close();
}

// 8 data bits, no parity, 1 stop bit, no flow control, 10 ms time-out.
void SerialPort::applyLineSettings()
{
    if (isOpen())
        apply_state();
    setTimeout(10);
}

// The whole line state at once: rate, 8N1, no flow control. DTR and RTS are
// raised, as opening a tty does on Linux, unless a reset sequence lowered them. Line errors must not stop all
// further I/O (fAbortOnError).
bool SerialPort::apply_state()
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(as_handle(handle), &dcb))
        return false;
    dcb.BaudRate = static_cast<DWORD>(rate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(as_handle(handle), &dcb) != 0;
}

bool SerialPort::setDataTerminalReady(bool set)
{
    dtr = set;
    return isOpen() && EscapeCommFunction(as_handle(handle), set ? SETDTR : CLRDTR) != 0;
}

bool SerialPort::setRequestToSend(bool set)
{
    rts = set;
    return isOpen() && EscapeCommFunction(as_handle(handle), set ? SETRTS : CLRRTS) != 0;
}

bool SerialPort::open()
{
    if (isOpen())
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        device_failed = false;
        last_error = 0;
        input.clear();
    }
    line_clock.start();
    line_busy_until_us = 0;

    const HANDLE opened =
        CreateFileW(reinterpret_cast<const wchar_t *>(device.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        last_error = error;
        switch (error) {
        case ERROR_ACCESS_DENIED: // what Windows answers for a port another program holds
        case ERROR_SHARING_VIOLATION:
            failure = OpenFailure::busy;
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            failure = OpenFailure::no_such_port;
            break;
        default:
            failure = OpenFailure::other;
            break;
        }
        return false;
    }
    handle = opened;
    SetupComm(opened, 4096, 4096);
    COMMTIMEOUTS timeouts = {};
    // A read ends 1 ms after the last byte of what came in, else after
    // reader_idle_ms. The "return at once with what is there" setting
    // (MAXDWORD, MAXDWORD, n) is not honoured for overlapped reads by Wine.
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = reader_idle_ms;
    if (!apply_state() || !SetCommTimeouts(opened, &timeouts)) {
        last_error = GetLastError();
        CloseHandle(opened);
        handle = INVALID_HANDLE_VALUE;
        failure = OpenFailure::other;
        return false;
    }
    PurgeComm(opened, PURGE_RXCLEAR | PURGE_TXCLEAR);
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    write_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    failure = OpenFailure::none;
    latency = {adapter_latency_timer_ms(device), false};
    reader = std::thread(&SerialPort::read_loop, this);
    return true;
}

bool SerialPort::isOpen() const
{
    return handle != INVALID_HANDLE_VALUE;
}

void SerialPort::close()
{
    if (!isOpen())
        return;
    SetEvent(as_handle(stop_event));
    CancelIoEx(as_handle(handle), nullptr);
    if (reader.joinable())
        reader.join();
    CloseHandle(as_handle(handle));
    handle = INVALID_HANDLE_VALUE;
    CloseHandle(as_handle(stop_event));
    CloseHandle(as_handle(write_event));
    stop_event = nullptr;
    write_event = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    input.clear();
}

// The reader thread. It ends on close() or when the device is gone.
void SerialPort::read_loop()
{
    const HANDLE port = as_handle(handle);
    const HANDLE stop = as_handle(stop_event);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    int line_errors = 0;
    while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
        ResetEvent(overlapped.hEvent);
        DWORD got = 0;
        BOOL ok = ReadFile(port, buffer, sizeof buffer, &got, &overlapped);
        DWORD error = ok ? 0 : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            const HANDLE events[2] = {overlapped.hEvent, stop};
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(port, &overlapped);
                GetOverlappedResult(port, &overlapped, &got, TRUE);
                break;
            }
            ok = GetOverlappedResult(port, &overlapped, &got, FALSE);
            error = ok ? 0 : GetLastError();
        }
        if (!ok && error == ERROR_TIMEOUT) // Wine's way to end a read on its time-out
            ok = TRUE;
        if (ok) {
            line_errors = 0;
            if (got > 0)
                received(buffer, got);
            else if (WaitForSingleObject(stop, 1) == WAIT_OBJECT_0)
                break; // a driver that ends empty reads at once must not spin us
            continue;
        }
        // A line error (framing, overrun) can end a read; ClearCommError
        // clears it. When the driver no longer answers that either, the
        // adapter is gone.
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(port, &errors, &status) || ++line_errors > line_errors_tolerated) {
            note_failure(error);
            break;
        }
        if (WaitForSingleObject(stop, 10) == WAIT_OBJECT_0)
            break;
    }
    CloseHandle(overlapped.hEvent);
}

void SerialPort::received(const char *data, unsigned long count)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        input.append(data, static_cast<int>(count));
    }
    input_arrived.notify_all();
    wake_reader_of_hint();
}

void SerialPort::note_failure(unsigned long error)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        device_failed = true;
        last_error = error;
    }
    input_arrived.notify_all();
    wake_reader_of_hint();
}

// From the reader thread: one queued call at a time into the port's own
// thread, which runs the hint there.
void SerialPort::wake_reader_of_hint()
{
    if (!hint_wanted.load() || hint_posted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        &hint_context,
        [this] {
            hint_posted = false;
            if (!isOpen() || !input_hint)
                return;
            // A copy: the hint may close the port and take the hint away.
            const auto hint = input_hint;
            hint();
        },
        Qt::QueuedConnection);
}

void SerialPort::setInputHint(std::function<void()> hint)
{
    input_hint = std::move(hint);
    hint_wanted = static_cast<bool>(input_hint);
    bool waiting;
    {
        std::lock_guard<std::mutex> lock(mutex);
        waiting = !input.isEmpty() || device_failed;
    }
    if (waiting && isOpen())
        wake_reader_of_hint();
}

bool SerialPort::failed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return device_failed;
}

QString SerialPort::errorString() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return qt_error_string(static_cast<int>(last_error));
}

void SerialPort::flush()
{
    if (!isOpen())
        return;
    FlushFileBuffers(as_handle(handle));
    const qint64 left_us = line_busy_until_us - line_clock.nsecsElapsed() / 1000;
    if (left_us > 0)
        QThread::usleep(static_cast<unsigned long>(left_us));
}

// Returns when the driver has taken the bytes, or after the time-out of
// timeout_ms per byte with what it took by then.
qint64 SerialPort::write(const char *data, qint64 len)
{
    if (!isOpen())
        return -1;
    if (len <= 0)
        return 0;
    const HANDLE port = as_handle(handle);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = as_handle(write_event);
    ResetEvent(overlapped.hEvent);
    DWORD written = 0;
    BOOL ok = WriteFile(port, data, static_cast<DWORD>(len), &written, &overlapped);
    DWORD error = ok ? 0 : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
        const qint64 budget_ms = qMax(timeout_ms, 1) * len;
        if (WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(qMin<qint64>(budget_ms, 60000)))
            != WAIT_OBJECT_0)
            CancelIoEx(port, &overlapped);
        ok = GetOverlappedResult(port, &overlapped, &written, TRUE);
        error = ok ? 0 : GetLastError();
    }
    if (!ok && error != ERROR_OPERATION_ABORTED) { // aborted: our own time-out
        note_failure(error);
        if (written == 0)
            return -1;
    }
    const qint64 now_us = line_clock.nsecsElapsed() / 1000;
    line_busy_until_us =
        qMax(line_busy_until_us, now_us) + (qint64(written) * 10 * 1000000 + rate - 1) / qMax(rate, 1);
    return written;
}

int SerialPort::read(char *byte)
{
    if (!isOpen())
        return -1;
    std::unique_lock<std::mutex> lock(mutex);
    if (input.isEmpty() && !device_failed) {
        input_arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [this] { return !input.isEmpty() || device_failed; });
    }
    if (input.isEmpty())
        return device_failed ? -1 : 0;
    *byte = input.at(0);
    input.remove(0, 1);
    lock.unlock();
    heard_from_peer();
    return 1;
}

QByteArray SerialPort::readAll()
{
    if (!isOpen())
        return QByteArray();
    QByteArray bytes;
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.swap(input);
    }
    if (!bytes.isEmpty())
        heard_from_peer();
    return bytes;
}

// A reply means the peer has received what was written before it.
void SerialPort::heard_from_peer()
{
    line_busy_until_us = qMin(line_busy_until_us, line_clock.nsecsElapsed() / 1000);
}

bool SerialPort::setBaudRate(qint32 new_rate)
{
    const qint32 old_rate = rate;
    rate = new_rate;
    if (isOpen() && !apply_state()) {
        rate = old_rate;
        return false;
    }
    return true;
}
