#include "platform/image_file.h"

#include "platform/trace.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
