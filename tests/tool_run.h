#pragma once

// Runs the tool as a script would: its exit code, its output, and standard
// output read as JSON Lines.

#include <QFile>
#include <algorithm>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#ifndef TESSIK_TOOL_PATH
#error "TESSIK_TOOL_PATH must name the tool's binary"
#endif

struct Run
{
    int exit_code = -1;
    QString out;
    QString err;
    QList<QJsonObject> events; // standard output parsed as JSON Lines
    bool all_json = true;

    QList<QJsonObject> of(const QString &event) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &object : events) {
            if (object.value(QStringLiteral("event")).toString() == event)
                found << object;
        }
        return found;
    }
};

inline QProcessEnvironment tool_environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSIK_SYSTEM_PORTS"), QStringLiteral("off"));
    env.remove(QStringLiteral("TESSIK_EXTRA_PORTS"));
    return env;
}

#ifdef TESSIK_LINE_SHIM_PATH
// The tool with the line shim preloaded: on a pty it gets the serial flags
// and the latency timer of an adapter, kept in state_dir (see line_shim.cpp).
inline QProcessEnvironment shimmed_environment(const QString &state_dir)
{
    QProcessEnvironment env = tool_environment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TESSIK_LINE_SHIM_PATH));
    env.insert(QStringLiteral("TESSIK_LINE_STATE_DIR"), state_dir);
    env.insert(QStringLiteral("TESSIK_SYSFS_ROOT"), state_dir + QStringLiteral("/sys"));
    // A sanitizer build refuses a library loaded before its runtime.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("verify_asan_link_order=0"));
    return env;
}
#endif

// timeout_ms only catches a hang: the tool is given at least two minutes,
// which a started process of it may need on a busy machine.
inline Run finish(QProcess &tool, int timeout_ms)
{
    timeout_ms = std::max(timeout_ms, 120000);
    Run run;
    // A tool that ended while a test ran the event loop is finished already.
    if (tool.state() != QProcess::NotRunning && !tool.waitForFinished(timeout_ms)) {
        tool.kill();
        tool.waitForFinished(2000);
        return run;
    }
    run.exit_code = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -2;
    run.out = QString::fromUtf8(tool.readAllStandardOutput());
    run.err = QString::fromUtf8(tool.readAllStandardError());
    for (const QString &line : run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
        if (!document.isObject() || !document.object().contains(QStringLiteral("event")))
            run.all_json = false;
        else
            run.events << document.object();
    }
    return run;
}

inline Run run_tool(const QStringList &args, int timeout_ms = 90000,
                    const QProcessEnvironment &env = tool_environment())
{
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral(TESSIK_TOOL_PATH), args);
    return finish(tool, timeout_ms);
}

#ifdef TESSIK_SIGNAL_FIRST_PATH
// The tool with a signal ("INT" or "TERM") waiting for it from its first instant.
inline Run run_tool_signalled_at_start(const QString &signal, const QStringList &args, int timeout_ms = 60000)
{
    QProcess tool;
    tool.setProcessEnvironment(tool_environment());
    tool.start(QStringLiteral(TESSIK_SIGNAL_FIRST_PATH), QStringList{signal, QStringLiteral(TESSIK_TOOL_PATH)} + args);
    return finish(tool, timeout_ms);
}
#endif

// The file's path, or "" when it cannot be written.
inline QString write_file(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() ? path : QString();
}

inline QByteArray file_bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString write_image(const QTemporaryDir &dir, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 29 + 5);
    if (size > 0)
        data[size - 1] = 0x55; // never padding at the end
    return write_file(dir, QStringLiteral("image.bin"), data);
}
