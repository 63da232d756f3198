#pragma once

// Every text the engine shows the operator (log lines and box titles), in
// one place. The Chinese texts are the module vendor's words and stay as
// they are, misspellings included: they are the default, and the sources of
// their translations (translations/*.ts), taken in the language in use when
// a line is formed.

#include "platform/ports.h"
#include "serial/transport.h"

#include <QCoreApplication>
#include <QString>

namespace messages {

// In English only, as the udev rule it names.
inline QString slow_adapter(const QString &port, int timer_ms)
{
    return QStringLiteral("%1: warning: the adapter holds the module's bytes %2 ms before passing them on, "
                          "and every XMODEM block waits that long for its ACK; to make it 1 ms for good, %3")
        .arg(port)
        .arg(timer_ms)
        .arg(adapter_latency_remedy());
}

inline QString image_unreadable()
{
    return QCoreApplication::translate("messages", "打开升级文件失败");
}
inline QString warning_title()
{
    return QCoreApplication::translate("messages", "警告");
}
inline QString app_damaged()
{
    return QCoreApplication::translate("messages", "APP已经被破坏，请在10秒内点击复位按钮");
}
inline QString reset_succeeded()
{
    return QCoreApplication::translate("messages", "复位成功，开始升级......");
}
inline QString reset_timeout()
{
    return QCoreApplication::translate("messages", "复位超时，升级失败");
}
inline QString transfer_failed()
{
    return QCoreApplication::translate("messages", "传输失败");
}
inline QString port_updated()
{
    return QCoreApplication::translate("messages", "对应设备升级成功");
}
inline QString port_failed()
{
    return QCoreApplication::translate("messages", "对应设备升级失败");
}
// The fixture's reset of a dead application; each follows the port's name.
inline QString reset_by_line(const QString &sequence)
{
    return QCoreApplication::translate("messages", ": reset by the line sequence ") + sequence;
}
inline QString reset_by_command(const QString &words)
{
    return QCoreApplication::translate("messages", ": reset by the command ") + words;
}
inline QString reset_command_ended(const QString &status)
{
    return QCoreApplication::translate("messages", ": the reset command ended: ") + status;
}
inline QString no_boot_loader_after(const QString &rung)
{
    return QCoreApplication::translate("messages", ": no boot loader after the reset by ") + rung;
}
// The checks around the transfer; each follows the port's name.
inline QString module_id_line(const QString &id)
{
    return QCoreApplication::translate("messages", ": module id ") + id;
}
inline QString no_module_id(const QString &reply)
{
    return QCoreApplication::translate("messages", ": the module gave no identity")
           + (reply.isEmpty() ? QString() : QCoreApplication::translate("messages", ": it replied ") + reply);
}
inline QString module_id_unmatched(const QString &id)
{
    return QCoreApplication::translate("messages", ": the module id ") + id
           + QCoreApplication::translate("messages", " does not match the identity pattern");
}
inline QString already_done()
{
    return QCoreApplication::translate("messages", ": already has this image, left as it is");
}
inline QString waiting_for_application()
{
    return QCoreApplication::translate("messages", ": waiting for the new application");
}
inline QString not_booted()
{
    return QCoreApplication::translate("messages", ": the new application did not answer");
}
inline QString version_line(const QString &reply)
{
    return QCoreApplication::translate("messages", ": version ") + reply;
}
inline QString wrong_version(const QString &reply)
{
    return QCoreApplication::translate("messages", ": wrong version: ")
           + (reply.isEmpty() ? QCoreApplication::translate("messages", "no reply") : reply);
}
inline QString update_starts(const QString &port)
{
    return QCoreApplication::translate("messages", "开始升级") + port
           + QCoreApplication::translate("messages", "对应的设备.......");
}

// The window's translatable texts of a port that does not open.
inline QString open_failed_title()
{
    return QCoreApplication::translate("MainWindow", "Serial port failed to open");
}
inline QString open_failed_text()
{
    return QCoreApplication::translate("MainWindow", "Serial port failed to open ")
           + QCoreApplication::translate("MainWindow",
                                         "\n the serial device does not exist or has been occupied");
}
inline QString open_failed_line()
{
    return QCoreApplication::translate("messages", "Serial port failed to open");
}
// Why, after open_failed_line(), on the command line.
inline QString open_failure_explanation(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::permission_denied:
        return QCoreApplication::translate("messages", ": permission denied (join the dialout group: sudo "
                                                       "usermod -aG dialout $USER, then log in again)");
    case OpenFailure::busy:
        return QCoreApplication::translate("messages", ": in use by another program");
    case OpenFailure::no_such_port:
        return QCoreApplication::translate("messages", ": no such device");
    default:
        return QString();
    }
}

// No module of this kind has that much flash: a bigger file is not an image.
constexpr qint64 image_limit_bytes = 64 * 1024 * 1024;
inline QString image_too_large(const QString &path, qint64 size)
{
    return QCoreApplication::translate(
               "messages",
               "%1 holds %2 bytes, more than the 64 MiB any module can take: not a firmware image")
        .arg(path)
        .arg(size);
}
inline QString image_empty(const QString &path)
{
    return QCoreApplication::translate(
               "messages", "%1 is empty: an empty image would leave the module without its application")
        .arg(path);
}

} // namespace messages
