#pragma once

// Every text the engine shows the operator (log lines and box titles), in
// one place. The Chinese texts are the module vendor's words and stay as
// they are, misspellings included.

#include "serial/transport.h"

#include <QCoreApplication>
#include <QString>

namespace messages {

inline QString image_unreadable() { return QStringLiteral("打开升级文件失败"); }
inline QString warning_title() { return QStringLiteral("警告"); }
inline QString app_damaged() { return QStringLiteral("APP已经被破坏，请在10秒内点击复位按钮"); }
inline QString reset_succeeded() { return QStringLiteral("复位成功，开始升级......"); }
inline QString reset_timeout() { return QStringLiteral("复位超时，升级失败"); }
inline QString transfer_failed() { return QStringLiteral("传输失败"); }
inline QString port_updated() { return QStringLiteral("对应设备升级成功"); }
inline QString port_failed() { return QStringLiteral("对应设备升级失败"); }
// The checks around the transfer; each follows the port's name.
inline QString module_id_line(const QString &id) { return QStringLiteral(": module id ") + id; }
inline QString no_module_id(const QString &reply)
{
    return QStringLiteral(": the module gave no identity")
           + (reply.isEmpty() ? QString() : QStringLiteral(": it replied ") + reply);
}
inline QString module_id_unmatched(const QString &id)
{
    return QStringLiteral(": the module id ") + id + QStringLiteral(" does not match the identity pattern");
}
inline QString already_done() { return QStringLiteral(": already has this image, left as it is"); }
inline QString waiting_for_application() { return QStringLiteral(": waiting for the new application"); }
inline QString not_booted() { return QStringLiteral(": the new application did not answer"); }
inline QString version_line(const QString &reply) { return QStringLiteral(": version ") + reply; }
inline QString wrong_version(const QString &reply)
{
    return QStringLiteral(": wrong version: ") + (reply.isEmpty() ? QStringLiteral("no reply") : reply);
}
inline QString update_starts(const QString &port)
{
    return QStringLiteral("开始升级") + port + QStringLiteral("对应的设备.......");
}

// The window's translatable texts of a port that does not open.
inline QString open_failed_title() { return QCoreApplication::translate("MainWindow", "Serial port failed to open"); }
inline QString open_failed_text()
{
    return QCoreApplication::translate("MainWindow", "Serial port failed to open ")
           + QCoreApplication::translate("MainWindow", "\n the serial device does not exist or has been occupied");
}
inline QString open_failed_line() { return QStringLiteral("Serial port failed to open"); }
// Why, after open_failed_line(), on the command line.
inline QString open_failure_explanation(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::permission_denied:
        return QStringLiteral(": permission denied (join the dialout group: sudo usermod -aG dialout $USER, then log in again)");
    case OpenFailure::busy:
        return QStringLiteral(": in use by another program");
    case OpenFailure::no_such_port:
        return QStringLiteral(": no such device");
    default:
        return QString();
    }
}


// No module of this kind has that much flash: a bigger file is not an image.
constexpr qint64 image_limit_bytes = 64 * 1024 * 1024;
inline QString image_too_large(const QString &path, qint64 size)
{
    return QStringLiteral("%1 holds %2 bytes, more than the 64 MiB any module can take: not a firmware image")
        .arg(path)
        .arg(size);
}
inline QString image_empty(const QString &path)
{
    return QStringLiteral("%1 is empty: an empty image would leave the module without its application").arg(path);
}

} // namespace messages
