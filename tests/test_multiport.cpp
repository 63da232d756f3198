// Several ticked ports in one press of "update".

#include "records/history_store.h"
#include "update_rig.h"

class TestMultiPort : public QObject
{
    Q_OBJECT

private slots:
    void three_ports_all_succeed()
    {
        UpdateRig rig;
        for (int i = 0; i < 3; ++i)
            QVERIFY(rig.add_module({}));
        rig.open_window();
        rig.choose_image(sample_image(400));
        rig.update_all();
        QVERIFY(wait_until([&] { return rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")) == 3
                                     && rig.probe->idle(); }, 60000));
        QStringList successes;
        for (const QString &body : rig.probe->log_bodies()) {
            if (body.endsWith(QStringLiteral("对应设备升级成功")))
                successes << body.chopped(QStringLiteral("对应设备升级成功").size());
        }
        QStringList links;
        for (const auto &sim : rig.modules)
            links << sim->link();
        std::sort(links.begin(), links.end());
        QCOMPARE(successes, links); // in the window's order
        QCOMPARE(rig.probe->current_port(), 0);
        for (const auto &sim : rig.modules) {
            QVERIFY(sim->waitForFinished(5000));
            QCOMPARE(sim->outData(), rig.image);
        }
    }

    void second_port_failing_stops_the_run()
    {
        UpdateRig rig;
        QVERIFY(rig.add_module({}));
        QVERIFY(rig.add_module({QStringLiteral("--can-block"), QStringLiteral("1")}));
        QVERIFY(rig.add_module({}));
        rig.open_window();
        QCOMPARE(rig.probe->port_table().keys().at(1), rig.module(1).link());
        rig.choose_image(sample_image(400));
        rig.update_all();
        QVERIFY(wait_until([&] { return rig.log_lines_ending_with(QStringLiteral("对应设备升级失败")) == 1
                                     && rig.probe->idle(); }, 60000));
        QCOMPARE(rig.log_lines_ending_with(rig.module(0).link() + QStringLiteral("对应设备升级成功")), 1);
        QCOMPARE(rig.log_lines_ending_with(rig.module(1).link() + QStringLiteral("对应设备升级失败")), 1);
        QVERIFY(rig.module(2).received().isEmpty());
        QCOMPARE(rig.probe->current_port(), 0);
        QVERIFY(rig.probe->update_button()->isEnabled());

        // The window records each port's end in the history, as the command line does.
        HistoryStore history(HistoryStore::default_path());
        QStringList results;
        QVERIFY(wait_until(
            [&] {
                results.clear();
                for (const auto &sim : rig.modules) {
                    HistoryFilter filter;
                    filter.port = sim->link();
                    QVector<HistoryRow> rows;
                    if (history.rows(filter, rows) && rows.size() == 1 && rows[0].result != started_result)
                        results << rows[0].result + QString::number(rows[0].attempt);
                }
                return results.size() == 3;
            },
            10000));
        QCOMPARE(results,
                 QStringList({QStringLiteral("ok1"), QStringLiteral("failed1"), QStringLiteral("skipped0")}));
    }

    void ticks_changed_during_a_run_wait_for_the_next_run()
    {
        UpdateRig rig;
        for (int i = 0; i < 3; ++i)
            QVERIFY(rig.add_module({}));
        rig.open_window();
        rig.choose_image(sample_image(200));
        const QString a = rig.module(0).link(), b = rig.module(1).link(), c = rig.module(2).link();
        rig.probe->tick(a);
        rig.probe->tick(c);
        rig.probe->send_file();
        QVERIFY(!rig.probe->update_button()->isEnabled());
        rig.probe->tick(a, false);
        rig.probe->tick(b, true);
        QVERIFY(wait_until([&] { return rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")) == 2
                                     && rig.probe->idle(); }, 60000));
        QCOMPARE(rig.log_lines_ending_with(a + QStringLiteral("对应设备升级成功")), 1);
        QCOMPARE(rig.log_lines_ending_with(c + QStringLiteral("对应设备升级成功")), 1);
        QVERIFY(rig.module(1).received().isEmpty());
        QVERIFY(rig.probe->boxes.isEmpty());
    }

    void file_unchosen_during_a_run_ends_it_at_the_next_port()
    {
        UpdateRig rig;
        for (int i = 0; i < 2; ++i)
            QVERIFY(rig.add_module({}));
        rig.open_window();
        rig.choose_image(sample_image(200));
        const QString a = rig.module(0).link(), b = rig.module(1).link();
        const QString image = rig.probe->firmware_path();
        rig.probe->tick(a);
        rig.probe->tick(b);
        rig.probe->send_file();
        rig.probe->recorder->next_file_name.clear();
        rig.probe->open_file(); // the operator cancels the dialog while a is updated
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 60000));
        QCOMPARE(rig.probe->log_bodies(),
                 QStringList({QStringLiteral("开始升级") + a + QStringLiteral("对应的设备......."),
                              a + QStringLiteral("对应设备升级成功"), b + QStringLiteral("对应设备升级失败")}));
        QVERIFY(rig.probe->has_box(QStringLiteral("warning"), QStringLiteral("Waring"), QStringLiteral("Please Selcet File")));
        QCOMPARE(rig.probe->current_port(), 0);
        QVERIFY(rig.module(1).received().isEmpty());

        // The next run updates exactly the ports ticked then.
        rig.probe->tick(a, false);
        rig.probe->firmware_path() = image;
        rig.probe->send_file();
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 60000));
        QCOMPARE(rig.probe->log_bodies().last(), b + QStringLiteral("对应设备升级成功"));
        QVERIFY(rig.module(1).waitForFinished(5000));
        QCOMPARE(rig.module(1).outData(), rig.image);
    }

    void parallel_window_names_every_port()
    {
        UpdateRig rig;
        for (int i = 0; i < 3; ++i)
            QVERIFY(rig.add_module(i == 1 ? QStringList({QStringLiteral("--can-block"), QStringLiteral("2")}) : QStringList()));
        rig.open_window();
        rig.window->set_parallel(true);
        rig.choose_image(sample_image(3000));
        rig.update_all();
        QVERIFY(!rig.probe->update_button()->isEnabled());
        QVERIFY(wait_until([&] { return rig.probe->idle(); }, 60000));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 2);
        QCOMPARE(rig.log_lines_ending_with(rig.module(1).link() + QStringLiteral("对应设备升级失败")), 1);
        for (int i : {0, 2}) {
            QVERIFY(rig.module(i).waitForFinished(5000));
            QCOMPARE(rig.module(i).outData(), rig.image);
        }
        for (const QString &body : rig.probe->log_bodies())
            QVERIFY2(body.contains(QStringLiteral("ttySIM")), qPrintable(body));
        QVERIFY(rig.probe->boxes.isEmpty()); // the log and the tile tell the failure: no box covers it
        const PortTile *failed = rig.probe->station()->tile(rig.module(1).link());
        QVERIFY2(failed->accessibleName().contains(QLatin1String("failed: ")), qPrintable(failed->accessibleName()));
        QVERIFY(failed->state_label()->text().contains(QLatin1String("(cancelled_by_module)")));
        QCOMPARE(failed->reason_label()->text(), QStringLiteral("the module cancelled the transfer"));
        QVERIFY(rig.probe->station()->tile(rig.module(0).link())->state_label()->text() == QLatin1String("ok"));
        QVERIFY(rig.probe->station()->totals_label()->text().startsWith(QLatin1String("2 ok, 1 failed")));
    }

    // SIGINT or SIGTERM in the window: every transfer gets CAN CAN, every
    // port's end is logged, then the event loop ends with the status given.
    void a_signal_ends_the_window_run_cleanly()
    {
        UpdateRig rig;
        for (int i = 0; i < 2; ++i)
            QVERIFY(rig.add_module({QStringLiteral("--block-write"), QStringLiteral("20")}));
        rig.open_window();
        rig.window->set_parallel(true);
        rig.choose_image(sample_image(128 * 1000)); // 20 s of block writes
        rig.update_all();
        for (int i = 0; i < 2; ++i)
            QVERIFY(rig.module(i).waitForEvent(QStringLiteral("first_block"), 60000));
        // As in main: the application's event loop, which the window ends.
        QTimer::singleShot(0, rig.window.get(), [&rig] { rig.window->end_on_signal(130); });
        QCOMPARE(QCoreApplication::exec(), 130);
        QVERIFY(rig.probe->idle());
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级失败")), 2);
        for (int i = 0; i < 2; ++i)
            QVERIFY(rig.module(i).waitForEvent(QStringLiteral("tool_can"), 10000));

        // With nothing running, at once.
        QTimer::singleShot(0, rig.window.get(), [&rig] { rig.window->end_on_signal(130); });
        QCOMPARE(QCoreApplication::exec(), 130);
    }

    // Watch mode: each box counts its units; a module plugged in after the
    // first was taken out is the port's next unit.
    void parallel_watch_counts_units_per_box()
    {
        UpdateRig rig;
        for (int i = 0; i < 2; ++i)
            QVERIFY(rig.add_module({}));
        rig.open_window();
        rig.window->set_parallel(true);
        rig.window->set_watch(true);
        rig.choose_image(sample_image(3000));
        rig.update_all();
        auto units_shown = [&](int row, int units) {
            return rig.probe->progress_label(row)->text().endsWith(QStringLiteral("units: %1").arg(units));
        };
        QVERIFY(wait_until([&] { return units_shown(0, 1) && units_shown(1, 1); }, 60000));
        QCOMPARE(rig.log_lines_ending_with(QStringLiteral("对应设备升级成功")), 2);
        SimModule next;
        next.setLink(rig.module(0).link());
        QVERIFY(rig.module(0).waitForFinished(5000) && next.start());
        QVERIFY(wait_until([&] { return units_shown(0, 2); }, 60000));
        QCOMPARE(next.outData(), rig.image);
        const PortTile *tile = rig.probe->station()->tile(next.link());
        QCOMPARE(tile->counters_label()->text(), QStringLiteral("2 ok, 0 failed"));
        QVERIFY(rig.probe->station()->mode_label()->text().contains(QLatin1String("fixture loop")));
        // Each unit of the station is a row, as each port's end of a run is.
        HistoryStore history(HistoryStore::default_path());
        HistoryFilter filter;
        filter.port = next.link();
        QVector<HistoryRow> rows;
        QVERIFY(wait_until(
            [&] {
                return history.rows(filter, rows) && rows.size() == 2 && rows[0].result != started_result
                       && rows[1].result != started_result;
            },
            60000));
        QCOMPARE(rows[0].result + rows[1].result, QStringLiteral("okok"));
        QVERIFY(rig.probe->update_button()->isEnabled() && rig.probe->watching());
        QCOMPARE(rig.probe->update_button()->text(), QStringLiteral("stop after the units in progress"));
        rig.probe->send_file(); // pressed again, it ends the loop
        QVERIFY(wait_until([&] { return !rig.probe->watching(); }, 10000));
        QVERIFY(units_shown(1, 1));
        QVERIFY(wait_until([&] { return rig.probe->update_button()->isEnabled(); }, 10000));
        QCOMPARE(rig.probe->update_button()->text(), QStringLiteral("start"));
    }
};

QTEST_MAIN(TestMultiPort)
#include "test_multiport.moc"
