#include "platform/ports.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <cerrno>

#ifdef Q_OS_WIN
#include <windows.h>

#include <initguid.h> // first: GUID_DEVCLASS_PORTS is then defined here, not only declared

#include <devguid.h>
#include <string>
#include <setupapi.h>
#else
#include <QSerialPortInfo>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

QStringList merge_port_names(const QStringList &system_ports, const QString &extra_ports)
{
    QStringList names = system_ports;
    const QChar separator = QDir::listSeparator();
    for (const QString &path : extra_ports.split(separator, Qt::SkipEmptyParts))
        names << path.trimmed();
    names.removeAll(QString());
    return names;
}

QString port_name_from_registry_data(const QByteArray &data)
{
    QString name;
    for (const char byte : data) {
        if (byte != 0)
            name += QChar(static_cast<uchar>(byte));
    }
    return name;
}

void usb_ids_from_instance_id(const QString &instance_id, AdapterDetails &adapter)
{
    const QRegularExpression ids(QStringLiteral("VID_([0-9A-F]{4})[&+]PID_([0-9A-F]{4})"),
                                 QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = ids.match(instance_id);
    if (match.hasMatch())
        adapter.vid_pid = (match.captured(1) + QLatin1Char(':') + match.captured(2)).toLower();
    const QStringList parts = instance_id.split(QLatin1Char('\\'));
    if (parts.size() != 3)
        return;
    if (parts[0].compare(QLatin1String("USB"), Qt::CaseInsensitive) == 0) {
        if (!parts[2].contains(QLatin1Char('&'))
            && !parts[1].contains(QLatin1String("&MI_"), Qt::CaseInsensitive))
            adapter.serial_number = parts[2];
    } else if (parts[0].compare(QLatin1String("FTDIBUS"), Qt::CaseInsensitive) == 0) {
        const QStringList fields = parts[1].split(QLatin1Char('+'));
        if (fields.size() == 3)
            adapter.serial_number = fields[2];
    }
}

#ifdef Q_OS_WIN
namespace {

QString device_property(HDEVINFO devices, SP_DEVINFO_DATA &device, DWORD property)
{
    wchar_t text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                           reinterpret_cast<BYTE *>(text), sizeof text - sizeof(wchar_t),
                                           nullptr))
        return QString();
    return QString::fromWCharArray(text);
}

// What Plug and Play knows of the serial ports present: description,
// manufacturer and USB identity, by port name. Ports without a device node
// (some virtual ones) are not in it.
QMap<QString, AdapterDetails> plug_and_play_ports()
{
    QMap<QString, AdapterDetails> ports;
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return ports;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        wchar_t name[64] = {};
        DWORD size = sizeof name - sizeof(wchar_t);
        DWORD type = 0;
        const bool named =
            RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size)
                == ERROR_SUCCESS
            && type == REG_SZ;
        RegCloseKey(key);
        if (!named)
            continue;
        AdapterDetails adapter;
        adapter.description = device_property(devices, device, SPDRP_FRIENDLYNAME);
        if (adapter.description.isEmpty())
            adapter.description = device_property(devices, device, SPDRP_DEVICEDESC);
        adapter.manufacturer = device_property(devices, device, SPDRP_MFG);
        wchar_t instance_id[512] = {};
        if (SetupDiGetDeviceInstanceIdW(devices, &device, instance_id, 511, nullptr))
            usb_ids_from_instance_id(QString::fromWCharArray(instance_id), adapter);
        ports.insert(QString::fromWCharArray(name), adapter);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ports;
}

struct RegistryPort
{
    QString port_name;  // COM3
    QString value_name; // \Device\Serial0, \Device\USBSER000: the driver's name
};

// The values of HARDWARE\DEVICEMAP\SERIALCOMM: one per serial port the
// system knows now. A value that cannot be read stands as "nokey".
QVector<RegistryPort> registry_ports()
{
    QVector<RegistryPort> ports;
    HKEY registry_key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &registry_key)
        != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0; index < 4096; ++index) {
        wchar_t value_name[256];
        DWORD name_length = 256;
        BYTE data[256];
        DWORD data_length = sizeof data;
        DWORD type = 0;
        const LONG rc =
            RegEnumValueW(registry_key, index, value_name, &name_length, nullptr, &type, data, &data_length);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        RegistryPort port;
        if (rc == ERROR_SUCCESS) {
            port.port_name = port_name_from_registry_data(
                QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(data_length)));
            port.value_name = QString::fromWCharArray(value_name, static_cast<int>(name_length));
        } else {
            port.port_name = QStringLiteral("nokey");
        }
        ports << port;
    }
    RegCloseKey(registry_key);
    return ports;
}

} // namespace
#endif

void hub_place_of_usb_path(const QString &usb_path, UsbPlace &place)
{
    const QRegularExpression path(QStringLiteral("^(\\d+)-(\\d+(?:\\.\\d+)*)$"));
    const QRegularExpressionMatch match = path.match(usb_path);
    if (!match.hasMatch())
        return;
    const QString ports = match.captured(2);
    const int last_dot = ports.lastIndexOf(QLatin1Char('.'));
    place.hub_location =
        last_dot < 0 ? match.captured(1) : match.captured(1) + QLatin1Char('-') + ports.left(last_dot);
    place.hub_port = ports.mid(last_dot + 1);
}

#ifndef Q_OS_WIN
namespace {

// /sys, or $TESSIK_SYSFS_ROOT: a tree of a test's own.
QString sysfs_root()
{
    const QByteArray root = qgetenv("TESSIK_SYSFS_ROOT");
    return root.isEmpty() ? QStringLiteral("/sys") : QFile::decodeName(root);
}

// /sys/class/tty/ttyUSB0/device leads into the USB device's folder, such as
// .../usb1/1-1/1-1.4/1-1.4:1.0/ttyUSB0: the last folder named like a USB
// device path is the adapter. Empty where the port is not on USB.
QString usb_device_folder(const QString &device)
{
    const QString tty = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    if (tty.isEmpty())
        return QString();
    QString folder = QFileInfo(sysfs_root() + QStringLiteral("/class/tty/%1/device").arg(tty)).canonicalFilePath();
    const QRegularExpression usb_path(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    for (; folder.size() > 1; folder = QFileInfo(folder).path()) {
        if (usb_path.match(QFileInfo(folder).fileName()).hasMatch())
            return folder;
    }
    return QString();
}

QString sysfs_text(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).trimmed();
}

} // namespace
#endif

UsbPlace usb_place(const QString &device)
{
    UsbPlace place;
#ifndef Q_OS_WIN
    const QString folder = usb_device_folder(device);
    if (folder.isEmpty())
        return place;
    hub_place_of_usb_path(QFileInfo(folder).fileName(), place);
    place.adapter_serial = sysfs_text(folder + QStringLiteral("/serial"));
#else
    Q_UNUSED(device);
#endif
    return place;
}

AdapterDetails adapter_details_of(const QString &device)
{
#ifdef Q_OS_WIN
    for (const AdapterDetails &adapter : list_adapter_details()) {
        if (adapter.system_location.compare(device, Qt::CaseInsensitive) == 0)
            return adapter;
    }
    AdapterDetails unknown;
    unknown.system_location = device;
    return unknown;
#else
    AdapterDetails adapter;
    adapter.system_location = device;
    adapter.port_name = QFileInfo(device).fileName();
    const QString folder = usb_device_folder(device);
    if (folder.isEmpty())
        return adapter;
    adapter.serial_number = sysfs_text(folder + QStringLiteral("/serial"));
    adapter.manufacturer = sysfs_text(folder + QStringLiteral("/manufacturer"));
    adapter.description = sysfs_text(folder + QStringLiteral("/product"));
    const QString vendor = sysfs_text(folder + QStringLiteral("/idVendor"));
    const QString product = sysfs_text(folder + QStringLiteral("/idProduct"));
    if (!vendor.isEmpty() && !product.isEmpty())
        adapter.vid_pid = vendor.toLower() + QLatin1Char(':') + product.toLower();
    return adapter;
#endif
}

QStringList list_port_names()
{
    QStringList system_ports;
    if (qgetenv("TESSIK_SYSTEM_PORTS") != "off") {
#ifdef Q_OS_WIN
        for (const RegistryPort &port : registry_ports())
            system_ports << port.port_name;
#else
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            system_ports << info.portName();
#endif
    }
    return merge_port_names(system_ports, qEnvironmentVariable("TESSIK_EXTRA_PORTS"));
}

QVector<AdapterDetails> list_adapter_details()
{
    QVector<AdapterDetails> adapters;
#ifdef Q_OS_WIN
    const QMap<QString, AdapterDetails> known = plug_and_play_ports();
    for (const RegistryPort &port : registry_ports()) {
        AdapterDetails adapter = known.value(port.port_name);
        adapter.port_name = port.port_name;
        adapter.system_location = device_name(port.port_name);
        if (adapter.description.isEmpty())
            adapter.description = port.value_name;
        adapters << adapter;
    }
#else
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
#endif
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

bool device_exists(const QString &device)
{
#ifdef Q_OS_WIN
    const QString prefix = QStringLiteral("\\\\.\\");
    if (!device.startsWith(prefix))
        return QFileInfo::exists(device);
    const QString dos_name = device.mid(prefix.size());
    wchar_t target[1024];
    if (QueryDosDeviceW(reinterpret_cast<const wchar_t *>(dos_name.utf16()), target, 1024) != 0)
        return true;
    for (const RegistryPort &port : registry_ports()) {
        if (port.port_name.compare(dos_name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
#else
    return QFileInfo::exists(device);
#endif
}

QString device_identity(const QString &device)
{
#ifdef Q_OS_WIN
    // COM names are case-blind; "\\.\COM3" and "\\.\com3" are one port.
    return device.toUpper();
#else
    return QFileInfo(device).canonicalFilePath();
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

int parse_latency_timer(const QByteArray &text)
{
    bool number = false;
    const int ms = text.trimmed().toInt(&number);
    return number && ms >= 0 && ms <= 255 ? ms : -1;
}

#ifdef Q_OS_WIN
namespace {

// HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\<device>\0000\Device Parameters
// holds PortName (COM3) and LatencyTimer (ms) of each FTDI adapter installed.
int ftdi_latency_timer_ms(const QString &port_name)
{
    const wchar_t *const root = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
    HKEY devices = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, root, 0, KEY_READ, &devices) != ERROR_SUCCESS)
        return -1;
    int found = -1;
    for (DWORD index = 0; found < 0 && index < 1024; ++index) {
        wchar_t device[256];
        DWORD length = 256;
        if (RegEnumKeyExW(devices, index, device, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring path = std::wstring(device) + L"\\0000\\Device Parameters";
        HKEY parameters = nullptr;
        if (RegOpenKeyExW(devices, path.c_str(), 0, KEY_READ, &parameters) != ERROR_SUCCESS)
            continue;
        wchar_t name[64] = {};
        DWORD size = sizeof name - sizeof(wchar_t);
        DWORD type = 0;
        DWORD timer = 0;
        DWORD timer_size = sizeof timer;
        if (RegQueryValueExW(parameters, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size)
                == ERROR_SUCCESS
            && type == REG_SZ && port_name.compare(QString::fromWCharArray(name), Qt::CaseInsensitive) == 0
            && RegQueryValueExW(parameters, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE *>(&timer),
                                &timer_size)
                   == ERROR_SUCCESS
            && type == REG_DWORD)
            found = static_cast<int>(timer);
        RegCloseKey(parameters);
    }
    RegCloseKey(devices);
    return found;
}

} // namespace
#endif

QString adapter_latency_remedy()
{
#ifdef Q_OS_WIN
    return QStringLiteral("set Latency Timer (msec) to 1 in the port's Advanced settings in the Device Manager");
#else
    return QStringLiteral("add the udev rule ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", "
                          "ATTR{latency_timer}=\"1\" (in /etc/udev/rules.d/60-tessik-serial.rules)");
#endif
}

LowLatencyRequest request_low_latency(qintptr handle)
{
    LowLatencyRequest request;
#ifdef Q_OS_WIN
    Q_UNUSED(handle);
#else
    const int fd = static_cast<int>(handle);
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return request; // no serial driver (a pty): nothing to ask
    request.old_flags = serial.flags;
    if (!(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
            return request;
        request.changed = true;
    }
    serial_struct now{};
    request.granted = ::ioctl(fd, TIOCGSERIAL, &now) == 0 && (now.flags & ASYNC_LOW_LATENCY);
#endif
    return request;
}

void restore_serial_flags(qintptr handle, const LowLatencyRequest &request)
{
#ifdef Q_OS_WIN
    Q_UNUSED(handle);
    Q_UNUSED(request);
#else
    if (!request.changed)
        return;
    const int fd = static_cast<int>(handle);
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (request.old_flags & ASYNC_LOW_LATENCY);
    ::ioctl(fd, TIOCSSERIAL, &serial);
#endif
}

int adapter_latency_timer_ms(const QString &device)
{
#ifdef Q_OS_WIN
    const QString prefix = QStringLiteral("\\\\.\\");
    return ftdi_latency_timer_ms(device.startsWith(prefix) ? device.mid(prefix.size()) : device);
#else
    // /dev/serial/by-id/usb-FTDI_...-if00-port0 and udev's own links lead to /dev/ttyUSB0.
    const QString name = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    if (name.isEmpty())
        return -1;
    QFile timer(sysfs_root() + QStringLiteral("/bus/usb-serial/devices/") + name + QStringLiteral("/latency_timer"));
    if (!timer.open(QIODevice::ReadOnly))
        return -1;
    return parse_latency_timer(timer.read(16));
#endif
}

// The run of digits at i, without its leading zeros; i moves past it.
static QStringRef number_at(const QString &text, int &i)
{
    const int start = i;
    while (i < text.size() && text.at(i).isDigit())
        ++i;
    int first = start;
    while (first < i - 1 && text.at(first) == QLatin1Char('0'))
        ++first;
    return text.midRef(first, i - first);
}

// ttyUSB2 before ttyUSB10: runs of digits compare as numbers. (QCollator's
// numeric mode is not there in every build of Qt.)
bool natural_less(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const QStringRef x = number_at(a, i), y = number_at(b, j);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
        } else if (a.at(i) != b.at(j)) {
            return a.at(i) < b.at(j);
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}
