#pragma once

// Runs tessik-module-sim (the simulated Wi-Fi module) for a test, in its own
// temporary directory, and reads back what it recorded.

#include <QByteArray>
#include <algorithm>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <initializer_list>

#ifndef TESSIK_SIM_PATH
#error "TESSIK_SIM_PATH must name the tessik-module-sim binary"
#endif

inline int countOccurrences(const QByteArray& hay, const QByteArray& needle)
{
    if (needle.isEmpty())
        return 0;
    int count = 0;
    for (int at = hay.indexOf(needle); at >= 0; at = hay.indexOf(needle, at + needle.size()))
        ++count;
    return count;
}

// A bound on waiting for something that must happen only catches a hang: on
// a busy machine (every test at once, sanitizers, CPU hogs) a second can
// take thirty, so no such wait is shorter than this.
inline int atLeastOnABusyMachine(int ms) { return std::max(ms, 30000); }

class SimModule {
public:
    // Two constructors so that SimModule sim({}) and SimModule sim({"--x", "1"})
    // are not ambiguous with the (deleted) copy constructor.
    SimModule(std::initializer_list<QString> extraArguments) : extra_(extraArguments) {}
    explicit SimModule(const QStringList& extraArguments = {}) : extra_(extraArguments) {}

    ~SimModule()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(2000);
        }
        if (toolJournal_)
            qunsetenv("TESSIK_LINE_JOURNAL");
    }

    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    // Starts the simulator; true once it printed its SLAVE line and the link exists.
    bool start(int timeout_ms = 5000)
    {
        if (!dir_.isValid())
            return false;
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QString::fromUtf8(TESSIK_SIM_PATH), arguments());
        if (!process_.waitForStarted(timeout_ms))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeout_ms) {
            while (process_.canReadLine()) {
                if (process_.readLine().startsWith("SLAVE "))
                    return QFileInfo::exists(link());
            }
            if (process_.state() == QProcess::NotRunning)
                return false;
            process_.waitForReadyRead(qMax(1, int(timeout_ms - timer.elapsed())));
        }
        return false;
    }

    // More options, e.g. ones that name the module's own files. Call before start().
    void addArguments(const QStringList& more) { extra_ += more; }

    // Where the port appears; by default in the module's own directory.
    // Call before start(), e.g. to give several modules names that sort.
    void setLink(const QString& path) { link_ = path; }
    QString link() const { return link_.isEmpty() ? dir_.filePath(QStringLiteral("ttySIM")) : link_; }
    QString outPath() const { return dir_.filePath(QStringLiteral("out.bin")); }
    QString recordPath() const { return dir_.filePath(QStringLiteral("record.jsonl")); }
    // The line journal of --strict-line, for the tool's TESSIK_LINE_JOURNAL.
    QString journalPath() const { return dir_.filePath(QStringLiteral("line.journal")); }

    // The module hears the bytes at the rates the tool's own line journal
    // gives, not at the one its pty shows when the simulator gets round to
    // reading them. Ports the tool opens until the module ends keep that
    // journal, also in a process started meanwhile. Call before start().
    void useToolJournal()
    {
        addArguments({QStringLiteral("--strict-line"), journalPath()});
        qputenv("TESSIK_LINE_JOURNAL", journalPath().toUtf8());
        toolJournal_ = true;
    }

    // Every line of the record so far (a line still being written is skipped).
    // With the tool's journal, once it holds every byte the journal says the
    // tool wrote before this call: a module slow to read them still shows them.
    QList<QJsonObject> records() const
    {
        const qint64 written = toolJournal_ ? bytesInJournal() : 0;
        QList<QJsonObject> list = recordsNow();
        QElapsedTimer timer;
        timer.start();
        while (heardBytes(list) < written && process_.state() != QProcess::NotRunning
               && timer.elapsed() < atLeastOnABusyMachine(0)) {
            QThread::msleep(5);
            list = recordsNow();
        }
        return list;
    }

    // Bytes the simulator read from the tool; only those at 'baud' when non-zero.
    QByteArray received(int baud = 0) const
    {
        QByteArray bytes;
        for (const QJsonObject& record : records()) {
            if (record.value("dir").toString() == QLatin1String("rx")
                && (baud == 0 || record.value("baud").toInt() == baud))
                bytes += QByteArray::fromHex(record.value("hex").toString().toLatin1());
        }
        return bytes;
    }

    // The rate of every escape "+++" received, in order. A busy machine may
    // split one write across reads: the reads at one rate are taken together.
    QList<int> escapeRates() const
    {
        QList<int> rates;
        QByteArray run;
        int runBaud = -1;
        const auto endRun = [&] {
            for (int at = run.indexOf("+++"); at >= 0; at = run.indexOf("+++", at + 3))
                rates << runBaud;
        };
        for (const QJsonObject& record : records()) {
            if (record.value("dir").toString() != QLatin1String("rx"))
                continue;
            if (record.value("baud").toInt() != runBaud) {
                endRun();
                run.clear();
                runBaud = record.value("baud").toInt();
            }
            run += QByteArray::fromHex(record.value("hex").toString().toLatin1());
        }
        endRun();
        return rates;
    }

    // Bytes the simulator wrote to the tool.
    QByteArray sent() const
    {
        QByteArray bytes;
        for (const QJsonObject& record : records()) {
            if (record.value("dir").toString() == QLatin1String("tx"))
                bytes += QByteArray::fromHex(record.value("hex").toString().toLatin1());
        }
        return bytes;
    }

    // The first record of this event (e.g. "done" carries "bytes"), empty if none.
    QJsonObject event(const QString& name) const
    {
        for (const QJsonObject& record : records()) {
            if (record.value("event").toString() == name)
                return record;
        }
        return {};
    }

    bool hasEvent(const QString& name) const { return !event(name).isEmpty(); }

    // Every record of this event, in order (e.g. each "fault" or "garbled").
    QList<QJsonObject> events(const QString& name) const
    {
        QList<QJsonObject> list;
        for (const QJsonObject& record : records()) {
            if (record.value("event").toString() == name)
                list.append(record);
        }
        return list;
    }

    // How the latest transfer ended ("result": end, complete, blocks, bytes,
    // sha256, sha256_trimmed, fault_count, faults...); empty while none has.
    QJsonObject result() const
    {
        const QList<QJsonObject> results = events(QStringLiteral("result"));
        return results.isEmpty() ? QJsonObject() : results.last();
    }

    // Polls the record while keeping this thread's event loop running.
    bool waitForEvent(const QString& name, int ms)
    {
        ms = atLeastOnABusyMachine(ms);
        QElapsedTimer timer;
        timer.start();
        while (!hasEvent(name)) {
            if (timer.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(10);
        }
        return true;
    }

    // Ends the simulator as a module taken out of its fixture: its port goes away.
    bool stop(int ms = 5000)
    {
        process_.terminate();
        return waitForFinished(ms);
    }

    bool waitForFinished(int ms)
    {
        return process_.state() == QProcess::NotRunning || process_.waitForFinished(atLeastOnABusyMachine(ms));
    }

    qint64 processId() const { return process_.processId(); }

    // The simulator's exit code; -1 while running or when it crashed.
    int exitCode() const
    {
        if (process_.state() != QProcess::NotRunning || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }

    // The received firmware without the trailing 0x1A padding.
    QByteArray outData() const
    {
        QFile file(outPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QByteArray data = file.readAll();
        int end = data.size();
        while (end > 0 && data.at(end - 1) == '\x1a')
            --end;
        return data.left(end);
    }

private:
    QList<QJsonObject> recordsNow() const
    {
        QList<QJsonObject> list;
        QFile file(recordPath());
        if (!file.open(QIODevice::ReadOnly))
            return list;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray& line : lines) {
            QJsonDocument document = QJsonDocument::fromJson(line);
            if (document.isObject())
                list.append(document.object());
        }
        return list;
    }

    static qint64 heardBytes(const QList<QJsonObject>& records)
    {
        qint64 count = 0;
        for (const QJsonObject& record : records) {
            if (record.value("dir").toString() == QLatin1String("rx"))
                count += record.value("hex").toString().size() / 2;
        }
        return count;
    }

    // The bytes of the journal's "w <time> <count>" lines; a line still being written is skipped.
    qint64 bytesInJournal() const
    {
        QFile file(journalPath());
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        QList<QByteArray> lines = file.readAll().split('\n');
        lines.removeLast();
        qint64 count = 0;
        for (const QByteArray& line : lines) {
            if (line.startsWith("w "))
                count += line.split(' ').value(2).toLongLong();
        }
        return count;
    }

    QStringList arguments() const
    {
        return QStringList { QStringLiteral("--link"), link(), QStringLiteral("--record"), recordPath(),
                             QStringLiteral("--out"), outPath() }
            + extra_;
    }

    QStringList extra_;
    bool toolJournal_ = false;
    QString link_;
    QTemporaryDir dir_;
    QProcess process_;
};
