// The station view: what a tile says as a port's events arrive, the
// station's totals, and sixteen ports on one screen.

#include "window_probe.h"

#include <QProgressBar>
#include <QScrollArea>
#include <QtTest>
#include <functional>

namespace {

const QString port = QStringLiteral("ttyFIX1");

struct TileCase
{
    const char *name;
    bool checks_after_transfer;
    std::function<void(StationModel &)> events;
    TileState state;
    const char *words; // a part of what the tile says
    int ok, failed;
};

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void a_tile_follows_its_port()
    {
        auto end = [](PortResult result, FailReason reason) {
            return [=](StationModel &m) {
                m.attempt_started(port);
                m.attempt_finished(port, result, reason);
                m.port_done(port, result);
            };
        };
        const TileCase cases[] = {
            {"listed", false, [](StationModel &) {}, TileState::idle, "ready", 0, 0},
            {"in the run", false, [](StationModel &m) { m.run_started({port}, 0); }, TileState::waiting,
             "waiting to start", 0, 0},
            {"scanning", false, [](StationModel &m) { m.attempt_started(port); }, TileState::scanning,
             "scanning", 0, 0},
            {"rate found", false,
             [](StationModel &m) {
                 m.attempt_started(port);
                 m.rate_found(port, 57600);
             },
             TileState::starting, "57600 baud", 0, 0},
            {"the fixture resets a dead module", false,
             [](StationModel &m) {
                 m.attempt_started(port);
                 m.resetting(port, QStringLiteral("line"));
             },
             TileState::resetting, "by its serial lines", 0, 0},
            {"the ladder reaches the operator", false,
             [](StationModel &m) {
                 m.resetting(port, QStringLiteral("command"));
                 m.reset_needed(port, 0);
             },
             TileState::press_reset, "press the module's reset button", 0, 0},
            {"sending", false,
             [](StationModel &m) {
                 m.attempt_started(port);
                 m.progress(port, 3000, 4000);
             },
             TileState::sending, "sending 75%", 0, 0},
            {"all sent, no check", false, [](StationModel &m) { m.progress(port, 4000, 4000); },
             TileState::sending, "sending 100%", 0, 0},
            {"all sent, the boot check runs", true, [](StationModel &m) { m.progress(port, 4000, 4000); },
             TileState::verifying, "verifying", 0, 0},
            {"ok", false, end(PortResult::success, FailReason::ok), TileState::ok, "ok", 1, 0},
            {"failed, with the reason", false, end(PortResult::failure, FailReason::no_start_request),
             TileState::failed, "(no_start_request)", 0, 1},
            {"a late progress keeps the failure", false,
             [&](StationModel &m) {
                 end(PortResult::failure, FailReason::port_lost)(m);
                 m.progress(port, 10, 20);
             },
             TileState::failed, "(port_lost)", 0, 1},
            {"already done: no unit", false, end(PortResult::skipped, FailReason::already_done),
             TileState::skipped, "already has this image", 0, 0},
            {"a retry scans again", false,
             [&](StationModel &m) {
                 m.attempt_started(port);
                 m.attempt_finished(port, PortResult::failure, FailReason::no_start_request);
                 m.attempt_started(port);
             },
             TileState::scanning, "scanning", 0, 0},
        };
        for (const TileCase &c : cases) {
            StationModel model;
            model.set_checks_after_transfer(c.checks_after_transfer);
            model.set_ports({port});
            c.events(model);
            const PortTileData *tile = model.tile(port);
            QVERIFY2(tile && tile->state == c.state, c.name);
            QVERIFY2(tile_state_words(*tile, 0, false).contains(QLatin1String(c.words)),
                     qPrintable(QStringLiteral("%1: %2").arg(c.name, tile_state_words(*tile, 0, false))));
            QVERIFY2(model.units_ok() == c.ok && model.units_failed() == c.failed, c.name);
        }
    }

    void the_reset_prompt_counts_down()
    {
        StationModel model;
        model.set_ports({port, QStringLiteral("ttyFIX2")});
        model.attempt_started(port);
        model.reset_needed(port, 1000);
        QVERIFY(model.any_reset_prompt());
        QCOMPARE(model.reset_seconds_left(port, 1000), 10);
        QCOMPARE(model.reset_seconds_left(port, 3500), 8);
        QCOMPARE(model.reset_seconds_left(port, 11000), 0);
        QCOMPARE(model.reset_seconds_left(QStringLiteral("ttyFIX2"), 3500), 0);
        QVERIFY(tile_state_words(*model.tile(port), 8, false).contains(QLatin1String("8 s")));
        model.progress(port, 128, 4096); // the boot loader asked: the transfer runs
        QVERIFY(!model.any_reset_prompt());
    }

    // Units per port and for the station; a module taken out leaves its
    // tile waiting for the next one.
    void a_fixture_loop_counts_units_per_port()
    {
        StationModel model;
        model.set_loop(true);
        model.set_ports({port, QStringLiteral("ttyFIX2")});
        model.run_started({port, QStringLiteral("ttyFIX2")}, 0);
        const struct
        {
            QString port;
            PortResult result;
            FailReason reason;
        } units[] = {
            {port, PortResult::success, FailReason::ok},
            {port, PortResult::failure, FailReason::unexpected_reply},
            {port, PortResult::skipped, FailReason::already_done},
            {QStringLiteral("ttyFIX2"), PortResult::success, FailReason::ok},
        };
        for (const auto &unit : units) {
            model.attempt_started(unit.port);
            model.attempt_finished(unit.port, unit.result, unit.reason);
            model.port_done(unit.port, unit.result);
        }
        model.module_gone(port);
        QCOMPARE(model.tile(port)->state, TileState::waiting);
        QCOMPARE(tile_state_words(*model.tile(port), 0, true), QStringLiteral("waiting for a module"));
        QCOMPARE(tile_counter_words(*model.tile(port)), QStringLiteral("1 ok, 1 failed"));
        QCOMPARE(tile_counter_words(*model.tile(QStringLiteral("ttyFIX2"))), QStringLiteral("1 ok, 0 failed"));
        QCOMPARE(model.units_ok(), 2);
        QCOMPARE(model.units_failed(), 1);
        QCOMPARE(model.units_per_hour(1800 * 1000), 6.0); // 3 units in half an hour
        model.run_started({port}, 0);                      // a new loop counts afresh
        QCOMPARE(model.units_ok() + model.tile(port)->units_ok, 0);
        QCOMPARE(model.tile(QStringLiteral("ttyFIX2"))->state, TileState::idle);
    }

    void ports_in_natural_order_keep_their_tiles()
    {
        StationModel model;
        model.set_ports({QStringLiteral("ttyFIX10"), QStringLiteral("ttyFIX2"), QStringLiteral("ttyFIX1")});
        QCOMPARE(model.ports(), QStringList({QStringLiteral("ttyFIX1"), QStringLiteral("ttyFIX2"),
                                              QStringLiteral("ttyFIX10")}));
        model.attempt_started(QStringLiteral("ttyFIX2"));
        model.set_ports({QStringLiteral("COM3"), QStringLiteral("ttyFIX2"), QStringLiteral("COM10")});
        QCOMPARE(model.ports(), QStringList({QStringLiteral("COM3"), QStringLiteral("COM10"),
                                              QStringLiteral("ttyFIX2")}));
        QCOMPARE(model.tile(QStringLiteral("ttyFIX2"))->state, TileState::scanning);
        QVERIFY(!model.tile(QStringLiteral("ttyFIX1")));
    }

    // As a station's window opens on a 1280x800 screen: every tile, the
    // log and the start button visible without scrolling, tiles in natural
    // order row by row, each named for assistive technology.
    void sixteen_ports_fit_a_station_screen()
    {
        QStringList names;
        for (int i = 16; i >= 1; --i)
            names << QStringLiteral("/dev/ttyFIX%1").arg(i);
        qputenv("TESSIK_EXTRA_PORTS", names.join(QLatin1Char(':')).toUtf8());
        MainWindow window;
        window.set_parallel(true);
        WindowProbe probe(window);
        const QRect screen(0, 0, 1280, 800);
        window.setGeometry(MainWindow::station_geometry(screen));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        StationView *station = probe.station();
        QVERIFY(station);
        StationModel &model = station->model();
        model.run_started(model.ports(), 0);
        model.attempt_started(QStringLiteral("/dev/ttyFIX3"));
        model.attempt_finished(QStringLiteral("/dev/ttyFIX3"), PortResult::failure, FailReason::no_such_port);
        station->show_all();
        QApplication::processEvents();

        QVERIFY(screen.contains(window.frameGeometry()));
        const QRect visible = station->findChild<QScrollArea *>()->viewport()->rect();
        QPoint previous(-1, -1);
        for (int i = 1; i <= 16; ++i) {
            const QString name = QStringLiteral("/dev/ttyFIX%1").arg(i);
            PortTile *tile = station->tile(name);
            QVERIFY2(tile && tile->isVisible(), qPrintable(name));
            const QRect in_view(tile->mapTo(station->findChild<QScrollArea *>()->viewport(), QPoint()),
                                tile->size());
            QVERIFY2(visible.contains(in_view), qPrintable(name));
            const QPoint at = tile->mapTo(&window, QPoint());
            QVERIFY2(at.y() > previous.y() || (at.y() == previous.y() && at.x() > previous.x()), qPrintable(name));
            previous = at;
            QVERIFY(tile->accessibleName().startsWith(name + QStringLiteral(": ")));
            QCOMPARE(tile->check_box()->text(), name);
        }
        QVERIFY(probe.station()->tile(QStringLiteral("/dev/ttyFIX3"))->accessibleName().contains(
            QLatin1String("failed")));
        QVERIFY(probe.station()->tile(QStringLiteral("/dev/ttyFIX4"))->accessibleName().contains(
            QLatin1String("waiting")));
        const QRect button(probe.update_button()->mapTo(&window, QPoint()), probe.update_button()->size());
        QVERIFY(window.rect().contains(button) && probe.update_button()->isVisible());
        QCOMPARE(probe.update_button()->text(), QStringLiteral("start"));
        QVERIFY(probe.log_view()->height() >= 90);
        const QByteArray shot = qgetenv("TESSIK_STATION_PICTURE");
        if (!shot.isEmpty())
            window.grab().save(QString::fromLocal8Bit(shot));

        // Narrower, the grid wraps into more rows and scrolls; no tile is lost.
        window.resize(700, 600);
        QApplication::processEvents();
        QVERIFY(station->tile(QStringLiteral("/dev/ttyFIX16"))->mapTo(station, QPoint()).y()
                > station->tile(QStringLiteral("/dev/ttyFIX4"))->mapTo(station, QPoint()).y());
    }

    // Past the slot table's eight rows, every tick counts in the station view.
    void every_ticked_port_is_in_the_run()
    {
        QStringList names;
        for (int i = 1; i <= 12; ++i)
            names << QStringLiteral("ttyFIX%1").arg(i);
        qputenv("TESSIK_EXTRA_PORTS", names.join(QLatin1Char(':')).toUtf8());
        MainWindow window;
        window.set_parallel(true);
        WindowProbe probe(window);
        for (const QString &name : {QStringLiteral("ttyFIX2"), QStringLiteral("ttyFIX9"), QStringLiteral("ttyFIX12")})
            probe.station()->check_box(name)->setChecked(true);
        QCOMPARE(probe.port_table().value(QStringLiteral("ttyFIX9")), QStringLiteral("true"));
        // The list changes: the ticks stay.
        probe.set_port_lister([names] { return names + QStringList{QStringLiteral("ttyFIX13")}; });
        probe.poll_ports();
        QVERIFY(probe.station()->check_box(QStringLiteral("ttyFIX13")));
        QVERIFY(probe.station()->check_box(QStringLiteral("ttyFIX12"))->isChecked());
        QStringList ticked;
        for (auto it = probe.port_table().cbegin(); it != probe.port_table().cend(); ++it) {
            if (it.value() == QLatin1String("true"))
                ticked << it.key();
        }
        QCOMPARE(ticked, QStringList({QStringLiteral("ttyFIX12"), QStringLiteral("ttyFIX2"),
                                      QStringLiteral("ttyFIX9")}));
    }
};

QTEST_MAIN(TestStation)
#include "test_station.moc"
