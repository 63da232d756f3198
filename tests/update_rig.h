#pragma once

// End-to-end rig: simulated modules on virtual ports, the window listing
// them, a recorder answering its boxes, and an image on disk.

#include "sim_harness.h"
#include "window_probe.h"

#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>


// Deterministic bytes that never look like padding at the end.
inline QByteArray sample_image(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 0x12345678u ^ static_cast<quint32>(size);
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<char>((x >> 16) & 0xFF);
    }
    if (size > 0 && data.at(size - 1) == 0x1A)
        data[size - 1] = 0x1B;
    return data;
}

class UpdateRig
{
public:
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimModule>> modules;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowProbe> probe;
    QByteArray image;

    // Starts a simulated module; false when it did not come up. The ports
    // are named so that they are listed in the order they were added.
    bool add_module(const QStringList &args)
    {
        modules.push_back(std::make_unique<SimModule>(args));
        modules.back()->setLink(dir.filePath(QStringLiteral("ttySIM%1").arg(modules.size())));
        return modules.back()->start();
    }

    SimModule &module(int i = 0) { return *modules.at(static_cast<size_t>(i)); }

    // The window lists the modules' ports (and any extra names given).
    void open_window(const QStringList &extra_names = {})
    {
        QStringList names = extra_names;
        for (const auto &sim : modules)
            names << sim->link();
        qputenv("TESSIK_EXTRA_PORTS", names.join(QLatin1Char(':')).toUtf8());
        window = std::make_unique<MainWindow>();
        probe = std::make_unique<WindowProbe>(*window);
    }

    void choose_image(const QByteArray &data)
    {
        image = data;
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(data);
        probe->firmware_path() = path;
    }

    // Ticks every module's port and presses "update".
    void update_all()
    {
        for (const auto &sim : modules)
            probe->tick(sim->link());
        probe->send_file();
    }

    // Lines of the log that end with the given text.
    int log_lines_ending_with(const QString &text) const
    {
        int count = 0;
        for (const QString &body : probe->log_bodies())
            count += body.endsWith(text) ? 1 : 0;
        return count;
    }

    bool logged(const QString &body) const { return probe->log_bodies().contains(body); }
};

inline const QByteArray update_request("AT#UpdateFW\r\0\0", 14);

// Times (ms since the module started) at which each occurrence of needle,
// sent at the given rate (0: any), was complete at the module.
inline QList<qint64> arrival_times(const SimModule &sim, const QByteArray &needle, int baud = 0)
{
    QByteArray stream;
    QList<qint64> chunk_end_times;
    QList<int> chunk_ends;
    for (const QJsonObject &record : sim.records()) {
        if (record.value(QStringLiteral("dir")).toString() != QLatin1String("rx"))
            continue;
        if (baud != 0 && record.value(QStringLiteral("baud")).toInt() != baud)
            continue;
        stream += QByteArray::fromHex(record.value(QStringLiteral("hex")).toString().toLatin1());
        chunk_ends << stream.size();
        chunk_end_times << static_cast<qint64>(record.value(QStringLiteral("t")).toDouble());
    }
    QList<qint64> times;
    for (int at = stream.indexOf(needle); at >= 0; at = stream.indexOf(needle, at + needle.size())) {
        const int end = at + needle.size();
        for (int i = 0; i < chunk_ends.size(); ++i) {
            if (chunk_ends[i] >= end) {
                times << chunk_end_times[i];
                break;
            }
        }
    }
    return times;
}

inline qint64 event_time(const SimModule &sim, const QString &event)
{
    for (const QJsonObject &record : sim.records()) {
        if (record.value(QStringLiteral("event")).toString() == event)
            return static_cast<qint64>(record.value(QStringLiteral("t")).toDouble());
    }
    return -1;
}

// The frames (and lone control bytes) the module received after its last
// update request, cut by the XMODEM framing of the given mode.
inline QList<QByteArray> frames_after_request(const SimModule &sim, bool crc = true)
{
    const QByteArray stream = sim.received(115200);
    const int start = stream.lastIndexOf(update_request);
    QList<QByteArray> frames;
    if (start < 0)
        return frames;
    const int frame_length = crc ? 133 : 132;
    for (int pos = start + update_request.size(); pos < stream.size();) {
        const int length = stream.at(pos) == 0x01 ? frame_length : 1;
        frames << stream.mid(pos, length);
        pos += length;
    }
    return frames;
}

// Runs one whole update of a module on the quick road (application at
// 115200) and waits for its end.
inline bool run_update(UpdateRig &rig, const QStringList &sim_args, const QByteArray &image,
                       int timeout_ms = 60000)
{
    QStringList args = {QStringLiteral("--app-baud"), QStringLiteral("115200")};
    args << sim_args;
    if (!rig.add_module(args))
        return false;
    rig.open_window();
    rig.choose_image(image);
    rig.update_all();
    return wait_until([&] { return rig.probe->idle(); }, timeout_ms);
}
