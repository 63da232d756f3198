// The central PostgreSQL database against a real server (scripts/test starts
// one and names it in TESSIK_TEST_PG_URL): stations writing at once, the
// server going away and coming back, --sync, rows sent twice.

#include "sim_harness.h"
#include "station_writers.h"
#include "tool_run.h"

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>
#include <QtTest>
#include <numeric>

namespace {

QString server_url()
{
    return qEnvironmentVariable("TESSIK_TEST_PG_URL");
}

// "start" or "stop" the test server.
bool server(const QString &action)
{
    return QProcess::execute(qEnvironmentVariable("TESSIK_TEST_PG_SERVER"),
                             {action, qEnvironmentVariable("TESSIK_TEST_PG_DIR")})
           == 0;
}

// The attempts of a station's rows in the central table, in local id order.
QVector<int> central_attempts(const QString &station)
{
    HistoryFilter filter;
    filter.station = station;
    filter.oldest_first = true;
    QVector<int> attempts;
    for (const HistoryRow &each : stored_rows(parse_central_url(server_url()), filter))
        attempts << each.attempt;
    return attempts;
}

QVector<int> one_to(int n)
{
    QVector<int> list(n);
    std::iota(list.begin(), list.end(), 1);
    return list;
}

Run sync(const QString &db, const QString &central = server_url())
{
    return run_tool({"--sync", "--history-db", db, "--central-db", central});
}

} // namespace

class TestCentral : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        if (server_url().isEmpty())
            QSKIP("no PostgreSQL test server: scripts/test starts one");
    }

    void four_stations_write_at_once()
    {
        QTemporaryDir dir;
        const QString prefix = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
        QStringList jobs;
        for (int i = 0; i < 4; ++i)
            jobs << dir.filePath("s%1.sqlite").arg(i) + '|' + prefix + QString::number(i) + "|100|" + server_url();
        const QByteArray failures = stations_write_at_once(jobs);
        QVERIFY2(failures.isEmpty(), failures.constData());
        HistoryFilter pending;
        pending.pending = true;
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(central_attempts(prefix + QString::number(i)), one_to(100));
            QCOMPARE(stored_rows(dir.filePath("s%1.sqlite").arg(i), pending).size(), 0);
        }
    }

    void rows_written_while_the_server_is_down_arrive_once()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath("station.sqlite");
        const QString station = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
        {
            HistoryWriter writer(db, server_url());
            QSignalSpy unreachable(&writer, &HistoryWriter::central_failed);
            for (int i = 1; i <= 30; ++i)
                writer.record(row(station, i));
            QTRY_COMPARE_WITH_TIMEOUT(central_attempts(station).size(), 30, 20000);
            QVERIFY(server("stop"));
            for (int i = 31; i <= 60; ++i)
                writer.record(row(station, i));
            QTRY_COMPARE_WITH_TIMEOUT(unreachable.size(), 1, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(writer.written(), 60, 20000);

            // A port's update goes on as if nothing were amiss.
            SimModule sim({"--app-baud", "115200"});
            QVERIFY(sim.start());
            const Run run = run_tool({"--file", write_image(dir, 300), "--port", sim.link(), "--history-db", db,
                                      "--central-db", server_url(), "--station", station});
            QCOMPARE(run.exit_code, 0);
            QVERIFY(run.err.contains("rows stay pending"));
            const Run down = sync(db);
            QCOMPARE(down.exit_code, 1);
            QVERIFY(down.out.contains("31 pending"));
            QVERIFY(server("start"));
            writer.finish();
            QCOMPARE(unreachable.size(), 1);
        }
        Run up = sync(db);
        QCOMPARE(up.exit_code, 0);
        QVERIFY(up.out.contains("sent 31 rows; 0 pending"));

        // Everything sent once more (as after a crash between the server's
        // confirmation and the local mark): the central table stays as it is.
        {
            QSqlDatabase local = QSqlDatabase::addDatabase("QSQLITE", "raw");
            local.setDatabaseName(db);
            QVERIFY(local.open());
            QVERIFY(QSqlQuery(local).exec("INSERT INTO pending SELECT id FROM history"));
        }
        QSqlDatabase::removeDatabase("raw");
        QCOMPARE(sync(db).exit_code, 0);
        QCOMPARE(central_attempts(station), one_to(60) << 1); // and the tool's own row

        const Run across = run_tool({"--history", "--central", "--stats", "--station", station, "--csv",
                                     "--central-db", server_url()});
        QCOMPARE(across.exit_code, 0);
        QCOMPARE(across.out.count("\r\n"), 3); // header, the writer's port, the tool's port
    }

    void a_restarted_server_is_connected_again_at_once()
    {
        QTemporaryDir dir;
        const QString station = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
        HistoryWriter writer(dir.filePath("station.sqlite"), server_url());
        QSignalSpy unreachable(&writer, &HistoryWriter::central_failed);
        writer.record(row(station, 1));
        QTRY_COMPARE_WITH_TIMEOUT(central_attempts(station).size(), 1, 10000);
        QVERIFY(server("stop") && server("start"));
        writer.record(row(station, 2));
        QTRY_COMPARE_WITH_TIMEOUT(central_attempts(station).size(), 2, 10000); // not at the next retry
        writer.finish();
        QCOMPARE(unreachable.size(), 0);
    }

    // A refused login, an unknown database and a table of an older layout:
    // one clear message without the password, the rows stay pending.
    void a_server_that_cannot_take_the_rows_leaves_them_pending()
    {
        const CentralUrl server = parse_central_url(server_url());
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase("QPSQL", "admin");
            admin.setHostName(server.host);
            admin.setUserName(server.user);
            admin.setDatabaseName(server.database);
            QVERIFY(admin.open());
            QSqlQuery(admin).exec("CREATE DATABASE older");
            admin.setDatabaseName("older");
            admin.close();
            QVERIFY(admin.open());
            QSqlQuery(admin).exec("CREATE TABLE IF NOT EXISTS history (id SERIAL, station TEXT)");
        }
        QSqlDatabase::removeDatabase("admin");

        QTemporaryDir dir;
        const QString db = dir.filePath("station.sqlite");
        HistoryRow one = row("s", 1);
        QVERIFY(HistoryStore(db).append(one));
        const QStringList cases[] = {{"intruder:s3cr3t@/postgres", "intruder"},
                                     {"tessik:s3cr3t@/nosuchdb", "nosuchdb"},
                                     {"tessik:s3cr3t@/older", "older layout"}};
        for (const QStringList &test : cases) {
            const Run run = sync(db, "postgresql://" + test[0] + "?host=" + server.host);
            QCOMPARE(run.exit_code, 1);
            QVERIFY2(run.err.contains(test[1]), qPrintable(run.err));
            QVERIFY(!run.err.contains("s3cr3t") && !run.out.contains("s3cr3t"));
            QVERIFY(run.out.contains("sent 0 rows; 1 pending"));
        }
    }
};

int main(int argc, char **argv)
{
    return test_or_station<TestCentral>(argc, argv);
}

#include "test_central.moc"
