#pragma once

// What the history tests share: rows, reading them back, and stations that
// write at once, each a child process (this test program started again with
// TESSIK_TEST_CHILD naming its job).

#include "records/history_store.h"
#include "records/history_writer.h"

#include <QProcess>
#include <QtTest>
#include <vector>

inline HistoryRow row(const QString &station, int attempt, const QString &port = QStringLiteral("p"),
                      const QString &sha = QStringLiteral("ab"), const QString &result = QStringLiteral("ok"),
                      const QString &ended = QStringLiteral("2026-01-01T00:00:00.000Z"))
{
    HistoryRow row;
    row.started_utc = row.ended_utc = ended;
    row.station = station;
    row.port = port;
    row.image_sha256 = sha;
    row.result = result;
    row.attempt = attempt;
    row.seconds = 2 * attempt;
    row.image_path = QStringLiteral("/images/a, \"b\".bin");
    return row;
}

// The rows of a store (a file or a central URL); none, with a warning, when it cannot be read.
template <class Where> QVector<HistoryRow> stored_rows(const Where &where, const HistoryFilter &filter = {})
{
    HistoryStore store(where);
    QVector<HistoryRow> rows;
    if (!store.rows(filter, rows))
        qWarning() << store.error();
    return rows;
}

// Each job "database|station|rows|central URL" writes at once in a child
// process; "" when every child wrote all its rows (and sent them) without a failure.
inline QByteArray stations_write_at_once(const QStringList &jobs)
{
    std::vector<QProcess> children(size_t(jobs.size()));
    for (int i = 0; i < jobs.size(); ++i) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TESSIK_TEST_CHILD"), jobs[i]);
        children[size_t(i)].setProcessEnvironment(env);
        children[size_t(i)].start(QCoreApplication::applicationFilePath(), QStringList());
    }
    QByteArray failures;
    for (QProcess &child : children) {
        if (!child.waitForFinished(120000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            failures += "a station failed: " + child.readAllStandardError();
    }
    return failures;
}

inline int write_station(const QString &job)
{
    const int rows = job.section(QLatin1Char('|'), 2, 2).toInt();
    HistoryWriter writer(job.section(QLatin1Char('|'), 0, 0), job.section(QLatin1Char('|'), 3));
    bool central_failed = false;
    QObject::connect(&writer, &HistoryWriter::central_failed, [&](const QString &message) {
        central_failed = true;
        qWarning("%s", qPrintable(message));
    });
    for (int i = 1; i <= rows; ++i)
        writer.record(row(job.section(QLatin1Char('|'), 1, 1), i));
    writer.finish();
    if (writer.has_failed())
        qWarning("%s", qPrintable(writer.failure()));
    else if (writer.written() != rows)
        qWarning("%d of %d rows written", writer.written(), rows);
    return writer.written() == rows && !writer.has_failed() && !central_failed ? 0 : 1;
}

template <class Test> int test_or_station(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("TESSIK_TEST_CHILD"))
        return write_station(qEnvironmentVariable("TESSIK_TEST_CHILD"));
    Test test;
    return QTest::qExec(&test, argc, argv);
}
