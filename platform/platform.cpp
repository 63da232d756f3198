#include "platform/platform.h"

#include "platform/trace.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

QStringList merge_port_names(const QStringList &system_ports, const QString &extra_ports)
{
    QStringList names = system_ports;
    const QChar separator = QLatin1Char(':');
    for (const QString &path : extra_ports.split(separator, Qt::SkipEmptyParts))
        names << path.trimmed();
    names.removeAll(QString());
    return names;
}

QStringList list_port_names()
{
    QStringList system_ports;
    if (qgetenv("TESSIK_SYSTEM_PORTS") != "off") {
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            system_ports << info.portName();
    }
    return merge_port_names(system_ports, qEnvironmentVariable("TESSIK_EXTRA_PORTS"));
}

QVector<AdapterDetails> list_adapter_details()
{
    QVector<AdapterDetails> adapters;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        AdapterDetails adapter;
        adapter.port_name = info.portName();
        adapter.system_location = info.systemLocation();
        adapter.description = info.description();
        adapter.manufacturer = info.manufacturer();
        adapter.serial_number = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            adapter.vid_pid = QStringLiteral("%1:%2")
                                  .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                  .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        }
        adapters << adapter;
    }
    return adapters;
}

QString device_name(const QString &port_name)
{
#ifdef Q_OS_WIN
    if (port_name.startsWith(QStringLiteral("\\\\.\\")))
        return port_name;
    return QStringLiteral("\\\\.\\") + port_name;
#else
    if (port_name.startsWith(QLatin1Char('/')))
        return port_name;
    return QStringLiteral("/dev/") + port_name;
#endif
}

bool device_accessible(const QString &device)
{
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return true;
#else
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0;
#endif
}

std::FILE *open_image(const QString &path)
{
    if (path.isEmpty()) {
        errno = ENOENT;
        return nullptr;
    }
    if (QFileInfo(path).isDir()) {
        errno = EISDIR;
        return nullptr;
    }
#ifdef Q_OS_WIN
    if (!QFileInfo(path).isFile()) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(reinterpret_cast<const wchar_t *>(path.utf16()), L"rb");
#else
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE *file = ::fdopen(fd, "rb");
    if (!file)
        ::close(fd);
    return file;
#endif
}

std::FILE *open_measured_image(const QString &path, qint64 &size)
{
    std::FILE *file = open_image(path);
    qCDebug(trace) << "file name  = " << path.toLocal8Bit() << path.size() << 4;
    if (!file) {
        qCDebug(trace) << "open file error:" << std::strerror(errno);
        return nullptr;
    }
    size = image_size(file);
    qCDebug(trace) << "TotalBytes =" << size;
    return file;
}

qint64 image_size(std::FILE *file)
{
#ifdef Q_OS_WIN
    const qint64 here = _ftelli64(file);
    _fseeki64(file, 0, SEEK_END);
    const qint64 size = _ftelli64(file);
    _fseeki64(file, here, SEEK_SET);
#else
    const off_t here = ftello(file);
    fseeko(file, 0, SEEK_END);
    const qint64 size = ftello(file);
    fseeko(file, here, SEEK_SET);
#endif
    return size;
}

bool seek_image(std::FILE *file, qint64 offset)
{
#ifdef Q_OS_WIN
    return _fseeki64(file, offset, SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

void drain_output(qintptr handle)
{
#ifdef Q_OS_WIN
    FlushFileBuffers(reinterpret_cast<HANDLE>(handle));
#else
    tcdrain(static_cast<int>(handle));
#endif
}

bool input_ready(qintptr handle, int timeout_ms)
{
#ifdef Q_OS_WIN
    Q_UNUSED(handle);
    Q_UNUSED(timeout_ms);
    return true;
#else
    pollfd fd{static_cast<int>(handle), POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&fd, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
#endif
}
