// The central PostgreSQL database against a real server (scripts/test starts
// one and names it in TESSIK_TEST_PG_URL): stations writing at once, the
// server going away and coming back, --sync, rows sent twice.

#include "records/store_sql.h"
#include "sim_harness.h"
#include "station_writers.h"
#include "tool_run.h"

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
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

// A connection of the test's own, open (or with a warning) to what the URL names.
QSqlDatabase connection_to(const QString &url, const QString &name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", name);
    parse_central_url(url).configure(db);
    if (!db.open())
        qWarning() << db.lastError().text();
    return db;
}

// A row as the tool wrote it before uids (and the release columns): the id named id_column.
bool insert_older_row(QSqlDatabase db, const QString &id_column, HistoryRow row, qint64 id)
{
    row.id = id;
    QStringList names = history_columns();
    const QStringList later = later_text_columns() << "uid";
    for (const QString &name : later)
        names.removeOne(name);
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO history (%1, %2) VALUES (%3)")
                       .arg(id_column, names.mid(1).join(','), store_sql::placeholders(names.size())));
    for (const QString &name : names)
        insert.addBindValue(store_sql::bound(history_value(row, name)));
    return insert.exec();
}

QString new_station()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
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

    // A maintenance job holds the table during a run: the run ends within
    // a few seconds all the same, with one message, and its row waits.
    void a_locked_table_holds_no_run()
    {
        QVERIFY(HistoryStore(parse_central_url(server_url())).open()); // the table exists
        QSqlDatabase locker = connection_to(server_url(), "locker");
        SimModule sim({"--app-baud", "115200", "--pace"});
        QVERIFY(sim.start());
        QTemporaryDir dir;
        const QString db = dir.filePath("station.sqlite"), station = new_station();
        QProcess tool;
        tool.setProcessEnvironment(tool_environment());
        tool.start(TESSIK_TOOL_PATH,
                   {"--json", "--file", write_image(dir, 30000), "--port", sim.link(), "--history-db", db,
                    "--central-db", server_url(), "--station", station});
        QVERIFY(sim.waitForEvent("first_block", 30000));
        QVERIFY(locker.transaction()
                && QSqlQuery(locker).exec("LOCK TABLE history IN ACCESS EXCLUSIVE MODE"));
        for (QByteArray out; !out.contains("\"port_end\"") && tool.waitForReadyRead(60000);)
            out += tool.readAllStandardOutput();
        QElapsedTimer ending;
        ending.start();
        const Run run = finish(tool, 60000);
        QCOMPARE(run.exit_code, 0);
        QVERIFY2(ending.elapsed() < 10000, qPrintable(QString::number(ending.elapsed())));
        QCOMPARE(run.err.count("rows stay pending"), 1);
        QVERIFY(locker.rollback());
        HistoryFilter pending;
        pending.pending = true;
        QCOMPARE(stored_rows(db, pending).value(0).result, QString("ok"));
        QVERIFY(sync(db).out.contains("sent 1 rows; 0 pending"));
        QCOMPARE(central_attempts(station), one_to(1));
    }

    // Two history files of one station (a reinstall, another login) number
    // their rows alike: every row arrives, and the rows kept before a
    // central database was named go on the first --sync.
    void rows_of_two_files_of_one_station_all_arrive()
    {
        QTemporaryDir dir;
        const QString station = new_station();
        {
            HistoryWriter first(dir.filePath("first.sqlite"), server_url());
            for (int i = 1; i <= 3; ++i)
                first.record(row(station, i));
        }
        HistoryStore second(dir.filePath("second.sqlite"));
        for (HistoryRow each : {row(station, 4), row(station, 5)})
            QVERIFY(second.append(each));
        QVERIFY(sync(dir.filePath("first.sqlite")).out.contains("0 pending"));
        QVERIFY(sync(dir.filePath("second.sqlite")).out.contains("sent 2 rows; 0 pending"));
        QVector<int> attempts = central_attempts(station);
        std::sort(attempts.begin(), attempts.end());
        QCOMPARE(attempts, one_to(5));
    }

    // The layouts before uids, a station's file and the central table, made by
    // hand, are brought up to date in place: nothing is lost, a row the
    // server has stays one, the row the old unique key dropped arrives.
    void an_older_layout_is_brought_up_to_date()
    {
        const QString name = "before_uids_" + new_station(), station = new_station();
        const QString url = QString(server_url()).replace("/postgres?", "/" + name + "?");
        QVERIFY(QSqlQuery(connection_to(server_url(), "creator")).exec("CREATE DATABASE " + name));
        const QString columns = // every one NOT NULL
            QString("started_utc TEXT, ended_utc TEXT, station TEXT, operator TEXT, tool_version TEXT, port TEXT, "
                    "device TEXT, adapter_serial TEXT, adapter_vid_pid TEXT, module_id TEXT, image_path TEXT, "
                    "image_size INTEGER, image_sha256 TEXT, result TEXT, reason TEXT, attempt INTEGER, seconds "
                    "REAL, crc_mode TEXT, rate INTEGER, verified TEXT, version_reply TEXT,")
                .replace(',', " NOT NULL,")
                .chopped(1);
        QSqlDatabase central = connection_to(url, "before_uids");
        QVERIFY(QSqlQuery(central).exec(
            "CREATE TABLE history (id BIGSERIAL PRIMARY KEY, local_id BIGINT NOT NULL, "
            + QString(columns).replace("REAL", "DOUBLE PRECISION") + ", UNIQUE (station, local_id))"));
        QTemporaryDir dir;
        const QString files[] = {dir.filePath("a.sqlite"), dir.filePath("b.sqlite")};
        for (int f = 0; f < 2; ++f) {
            QSqlDatabase local = QSqlDatabase::addDatabase("QSQLITE", files[f]);
            local.setDatabaseName(files[f]);
            QVERIFY(local.open() && QSqlQuery(local).exec("CREATE TABLE pending (id INTEGER PRIMARY KEY)"));
            QVERIFY(QSqlQuery(local).exec("CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                          + columns + ")"));
        }
        // a: rows 1 and 2 were sent, 3 waits; b: its row 1 was "sent", and dropped.
        for (int i = 1; i <= 3; ++i) {
            QVERIFY(insert_older_row(QSqlDatabase::database(files[0]), "id", row(station, i), i));
            QVERIFY(i == 3 || insert_older_row(central, "local_id", row(station, i), i));
        }
        QVERIFY(QSqlQuery(QSqlDatabase::database(files[0])).exec("INSERT INTO pending VALUES (3)"));
        const HistoryRow dropped = row(station, 9, "p", "ab", "ok", "2026-02-02T00:00:00.000Z");
        QVERIFY(insert_older_row(QSqlDatabase::database(files[1]), "id", dropped, 1));
        for (const QString &file : files)
            QSqlDatabase::removeDatabase(file);

        QVERIFY(sync(files[0], url).out.contains("0 pending"));
        QVERIFY(sync(files[1], url).out.contains("sent 1 rows; 0 pending"));
        QSqlQuery kept(central);
        QVERIFY(kept.exec("SELECT concat_ws(' ', count(*), count(DISTINCT uid), string_agg(attempt::text, ' ' "
                          "ORDER BY attempt)) FROM history")
                && kept.next());
        QCOMPARE(kept.value(0).toString(), QString("4 4 1 2 3 9")); // rows, distinct uids, attempts
        QSet<QString> uids;
        for (const HistoryRow &each : stored_rows(files[0]))
            uids.insert(each.uid);
        QVERIFY2(uids.size() == 3 && !uids.contains(QString()), qPrintable(uids.values().join(',')));
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
                                     {"tessik:s3cr3t@s3cr3t@/nosuchdb", "nosuchdb"},
                                     {"tessik:s3cr3t@/older", "older layout"}};
        for (const QStringList &test : cases) {
            const Run run = sync(db, "postgresql://" + test[0] + "?host=" + server.host);
            QCOMPARE(run.exit_code, 1);
            QVERIFY2(run.err.contains(test[1]), qPrintable(run.err));
            QVERIFY(!run.err.contains("s3cr3t") && !run.out.contains("s3cr3t"));
            QVERIFY(run.out.contains("sent 0 rows; 1 pending"));
        }
    }

    // Any libpq setting reaches the server, in either form; a password
    // holding spaces or an '@' is not split.
    void every_setting_reaches_the_server()
    {
        const QString host = parse_central_url(server_url()).host;
        const QString cases[] = {
            "postgresql://tessik:pw@x@/postgres?host=" + host + "&application_name=line%203&sslmode=disable",
            "host=" + host + " dbname=postgres user=tessik password='pw \\' x@y' application_name='line 3'",
        };
        for (const QString &text : cases) {
            QSqlQuery query(connection_to(text, text)); // opened through CentralUrl::configure
            QVERIFY2(query.exec("SHOW application_name") && query.next(), qPrintable(text));
            QCOMPARE(query.value(0).toString(), QString("line 3"));
        }
    }
};

int main(int argc, char **argv)
{
    return test_or_station<TestCentral>(argc, argv);
}

#include "test_central.moc"
