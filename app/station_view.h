#pragma once

#include "app/station_model.h"

#include <QElapsedTimer>
#include <QFrame>
#include <QMap>
#include <QWidget>

class QCheckBox;
class QGridLayout;
class QLabel;
class QProgressBar;
class QScrollArea;
class QTimer;
class RunSession;

// One port of the station: its box, its adapter, what it does and how far.
class PortTile : public QFrame
{
    Q_OBJECT

public:
    static constexpr int tile_width = 190;

    // Takes the window's box and label of the port; the label stays hidden
    // (the tile shows its progress in its own words).
    PortTile(QCheckBox *box, QLabel *progress_label, QWidget *parent = nullptr);

    void show_data(const PortTileData &data, int reset_seconds_left, bool loop);
    QCheckBox *check_box() const { return box; }
    QLabel *state_label() const { return state; }
    QProgressBar *progress_bar() const { return bar; }
    QLabel *reason_label() const { return reason; }
    QLabel *details_label() const { return details; }
    QLabel *counters_label() const { return counters; }

private:
    QCheckBox *box;
    QLabel *adapter;
    QLabel *state;
    QLabel *reason;
    QProgressBar *bar;
    QLabel *details;
    QLabel *counters;
    TileState shown_state = TileState(-1);
};

// The station view of parallel and fixture-loop work: a header with the
// image, the mode and the totals, and a tile per port in a grid that wraps
// to the window's width and scrolls when the ports outgrow it.
class StationView : public QWidget
{
    Q_OBJECT

public:
    explicit StationView(QWidget *parent = nullptr);

    void set_loop(bool on);
    void add_tile(const QString &port, const QString &adapter, QCheckBox *box, QLabel *progress_label);
    void clear_tiles();
    QCheckBox *check_box(const QString &port) const;
    PortTile *tile(const QString &port) const { return tiles.value(port); }
    // The view shows what its model holds once show_all() is called; a
    // watched session feeds it as it goes.
    StationModel &model() { return station; }
    void show_all();

    void set_image(const StationImage &image);
    // Shows what the session's ports do until it ends.
    void watch(RunSession *session);

    QLabel *image_label() const { return image_line; }
    QLabel *mode_label() const { return mode_line; }
    QLabel *totals_label() const { return totals_line; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    qint64 now_ms() const { return clock.elapsed(); }
    void show_port(const QString &port);
    void show_header();
    void reflow();
    void tick_countdowns();

    StationModel station;
    QElapsedTimer clock;
    QLabel *image_line;
    QLabel *mode_line;
    QLabel *totals_line;
    QScrollArea *scroll;
    QWidget *grid_widget;
    QGridLayout *grid;
    QMap<QString, PortTile *> tiles;
    QTimer *countdown;
    int columns = 0;
};
