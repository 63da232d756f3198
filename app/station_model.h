#pragma once

#include "engine/outcome.h"

#include <QMap>
#include <QString>
#include <QStringList>

// What a port's tile says, in the order a unit goes through them.
enum class TileState {
    idle,        // not in the run
    waiting,     // for a module to be put in (a fixture loop) or for its turn
    scanning,    // for the application's baud rate
    starting,    // rate found: the AT commands into the boot loader
    resetting,   // the application is dead: the fixture resets the module
    press_reset, // the application is dead: the operator has 10 s
    sending,
    verifying, // the image is sent: the boot check runs
    ok,
    failed,
    skipped, // the module already has the image, or the run ended before the port began
};

struct PortTileData
{
    QString port;
    QString adapter; // what the system knows of it, one line
    TileState state = TileState::idle;
    qint64 bytes_sent = 0;
    qint64 total_bytes = 0;
    int baud = 0;
    FailReason reason = FailReason::ok;
    QString module_id;
    qint64 reset_deadline_ms = 0; // press_reset: when the prompt runs out
    QString reset_by;             // resetting: "line" or "command"
    int units_ok = 0;
    int units_failed = 0;

    int percent() const { return total_bytes > 0 ? int(bytes_sent * 100 / total_bytes) : 0; }
};

struct StationImage
{
    QString name;
    qint64 bytes = 0;
    QString sha256;
    QString version; // the new application's answer, once a port has asked it
};

// The station view's state, fed from a run's events: one tile per listed
// port in natural order, and the station's totals. Times are passed in, so
// the model runs on any clock.
class StationModel
{
public:
    static constexpr int reset_prompt_ms = 10000;

    // loop: units are counted per port and a tile waits for the next module.
    void set_loop(bool on) { loop = on; }
    bool is_loop() const { return loop; }
    // After the transfer a boot check runs (--verify, --version-command).
    void set_checks_after_transfer(bool on) { checks_after_transfer = on; }

    // The listed ports; a port listed again keeps what its tile showed.
    void set_ports(const QStringList &ports, const QMap<QString, QString> &adapters = {});
    const QStringList &ports() const { return order; }
    const PortTileData *tile(const QString &port) const;
    void set_image(const StationImage &image) { shown_image = image; }
    const StationImage &image() const { return shown_image; }

    // The run's events
    void run_started(const QStringList &ports, qint64 now_ms);
    void attempt_started(const QString &port);
    void rate_found(const QString &port, int baud);
    void reset_needed(const QString &port, qint64 now_ms);
    void resetting(const QString &port, const QString &by);
    void progress(const QString &port, qint64 bytes_sent, qint64 total_bytes);
    void module_identified(const QString &port, const QString &module_id);
    void version_known(const QString &version);
    void attempt_finished(const QString &port, PortResult result, FailReason reason);
    // A port's last end in a pass, a unit's end in a loop: what the totals count.
    void port_done(const QString &port, PortResult result);
    void module_gone(const QString &port);

    int reset_seconds_left(const QString &port, qint64 now_ms) const;
    bool any_reset_prompt() const;
    int units_ok() const { return total_ok; }
    int units_failed() const { return total_failed; }
    double units_per_hour(qint64 now_ms) const;

private:
    PortTileData *find(const QString &port);

    QStringList order;
    QMap<QString, PortTileData> tiles;
    StationImage shown_image;
    bool loop = false;
    bool checks_after_transfer = false;
    bool started = false;
    qint64 started_ms = 0;
    int total_ok = 0;
    int total_failed = 0;
};

// The words of a tile's state, for the tile and assistive technology.
QString tile_state_words(const PortTileData &tile, int reset_seconds_left, bool loop);
// The same, short enough for the tile's heading: a failure by its code,
// with its words (and the press-reset prompt's why) in tile_reason_words().
QString tile_heading_words(const PortTileData &tile, int reset_seconds_left, bool loop);
QString tile_reason_words(const PortTileData &tile);
// A fixture loop's counters of one port.
QString tile_counter_words(const PortTileData &tile);
