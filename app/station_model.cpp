#include "app/station_model.h"

#include "platform/ports.h"

#include <QCoreApplication>
#include <algorithm>

void StationModel::set_ports(const QStringList &ports, const QMap<QString, QString> &adapters)
{
    QMap<QString, PortTileData> kept;
    for (const QString &port : ports) {
        PortTileData tile = tiles.value(port);
        tile.port = port;
        tile.adapter = adapters.value(port, tile.adapter);
        kept.insert(port, tile);
    }
    tiles = kept;
    order = tiles.keys();
    std::stable_sort(order.begin(), order.end(), natural_less);
}

const PortTileData *StationModel::tile(const QString &port) const
{
    const auto it = tiles.constFind(port);
    return it == tiles.constEnd() ? nullptr : &it.value();
}

PortTileData *StationModel::find(const QString &port)
{
    const auto it = tiles.find(port);
    return it == tiles.end() ? nullptr : &it.value();
}

void StationModel::run_started(const QStringList &ports, qint64 now_ms)
{
    started = true;
    started_ms = now_ms;
    total_ok = 0;
    total_failed = 0;
    for (PortTileData &tile : tiles) {
        const bool in_run = ports.contains(tile.port);
        PortTileData fresh;
        fresh.port = tile.port;
        fresh.adapter = tile.adapter;
        tile = fresh;
        tile.state = in_run ? TileState::waiting : TileState::idle;
    }
}

void StationModel::attempt_started(const QString &port)
{
    if (PortTileData *tile = find(port)) {
        tile->state = TileState::scanning;
        tile->bytes_sent = 0;
        tile->total_bytes = 0;
        tile->reason = FailReason::ok;
        tile->baud = 0;
        tile->module_id.clear();
    }
}

void StationModel::rate_found(const QString &port, int baud)
{
    if (PortTileData *tile = find(port)) {
        tile->baud = baud;
        if (tile->state == TileState::scanning)
            tile->state = TileState::starting;
    }
}

void StationModel::reset_needed(const QString &port, qint64 now_ms)
{
    if (PortTileData *tile = find(port)) {
        tile->state = TileState::press_reset;
        tile->reset_deadline_ms = now_ms + reset_prompt_ms;
    }
}

void StationModel::resetting(const QString &port, const QString &by)
{
    if (PortTileData *tile = find(port)) {
        tile->state = TileState::resetting;
        tile->reset_by = by;
    }
}

void StationModel::progress(const QString &port, qint64 bytes_sent, qint64 total_bytes)
{
    PortTileData *tile = find(port);
    if (!tile || tile->state == TileState::ok || tile->state == TileState::failed)
        return;
    tile->bytes_sent = bytes_sent;
    tile->total_bytes = total_bytes;
    const bool all_sent = total_bytes > 0 && bytes_sent >= total_bytes;
    tile->state = all_sent && checks_after_transfer ? TileState::verifying : TileState::sending;
}

void StationModel::module_identified(const QString &port, const QString &module_id)
{
    if (PortTileData *tile = find(port))
        tile->module_id = module_id;
}

void StationModel::version_known(const QString &version)
{
    if (!version.isEmpty())
        shown_image.version = version;
}

void StationModel::attempt_finished(const QString &port, PortResult result, FailReason reason)
{
    PortTileData *tile = find(port);
    if (!tile)
        return;
    tile->reason = reason;
    if (result == PortResult::success)
        tile->state = TileState::ok;
    else if (result == PortResult::skipped)
        tile->state = TileState::skipped;
    else
        tile->state = TileState::failed;
}

void StationModel::port_done(const QString &port, PortResult result)
{
    PortTileData *tile = find(port);
    if (result == PortResult::success) {
        ++total_ok;
        if (tile)
            ++tile->units_ok;
    } else if (result == PortResult::failure) {
        ++total_failed;
        if (tile)
            ++tile->units_failed;
    }
}

void StationModel::module_gone(const QString &port)
{
    if (PortTileData *tile = find(port))
        tile->state = TileState::waiting;
}

int StationModel::reset_seconds_left(const QString &port, qint64 now_ms) const
{
    const PortTileData *shown = tile(port);
    if (!shown || shown->state != TileState::press_reset)
        return 0;
    const qint64 left = shown->reset_deadline_ms - now_ms;
    return left <= 0 ? 0 : int((left + 999) / 1000);
}

bool StationModel::any_reset_prompt() const
{
    return std::any_of(tiles.cbegin(), tiles.cend(),
                       [](const PortTileData &tile) { return tile.state == TileState::press_reset; });
}

double StationModel::units_per_hour(qint64 now_ms) const
{
    const qint64 elapsed = now_ms - started_ms;
    if (!started || elapsed <= 0)
        return 0;
    return (total_ok + total_failed) * 3600000.0 / elapsed;
}

namespace {

// The tiles' words share the station view's translation context.
struct StationWords
{
    Q_DECLARE_TR_FUNCTIONS(StationView)
};

} // namespace

QString tile_state_words(const PortTileData &tile, int reset_seconds_left, bool loop)
{
    switch (tile.state) {
    case TileState::idle:
        return StationWords::tr("ready");
    case TileState::waiting:
        return loop ? StationWords::tr("waiting for a module") : StationWords::tr("waiting to start");
    case TileState::scanning:
        return StationWords::tr("scanning for the baud rate");
    case TileState::starting:
        return StationWords::tr("%1 baud: starting the boot loader").arg(tile.baud);
    case TileState::resetting:
        return tile.reset_by == QLatin1String("line")
                   ? StationWords::tr("resetting the module by its serial lines")
                   : StationWords::tr("resetting the module by the reset command");
    case TileState::press_reset:
        return StationWords::tr("press the module's reset button: %1 s left").arg(reset_seconds_left);
    case TileState::sending:
        return StationWords::tr("sending %1%").arg(tile.percent());
    case TileState::verifying:
        return StationWords::tr("verifying the new application");
    case TileState::ok:
        return StationWords::tr("ok");
    case TileState::failed:
        return StationWords::tr("failed: %1 (%2)")
            .arg(QCoreApplication::translate("outcome", reason_meaning(tile.reason)),
                 QLatin1String(reason_code(tile.reason)));
    case TileState::skipped:
        return tile.reason == FailReason::already_done ? StationWords::tr("skipped: it already has this image")
                                                       : StationWords::tr("not started");
    }
    return QString();
}

QString tile_heading_words(const PortTileData &tile, int reset_seconds_left, bool loop)
{
    switch (tile.state) {
    case TileState::starting:
        return StationWords::tr("entering the boot loader");
    case TileState::press_reset:
        return StationWords::tr("press reset: %1 s left").arg(reset_seconds_left);
    case TileState::resetting:
        return StationWords::tr("resetting");
    case TileState::failed:
        return StationWords::tr("failed (%1)").arg(QLatin1String(reason_code(tile.reason)));
    default:
        return tile_state_words(tile, reset_seconds_left, loop);
    }
}

QString tile_reason_words(const PortTileData &tile)
{
    if (tile.state == TileState::press_reset)
        return StationWords::tr("the application does not answer");
    if (tile.state == TileState::resetting)
        return tile_state_words(tile, 0, false);
    if (tile.state == TileState::failed)
        return QCoreApplication::translate("outcome", reason_meaning(tile.reason));
    return QString();
}

QString tile_counter_words(const PortTileData &tile)
{
    return StationWords::tr("%1 ok, %2 failed").arg(tile.units_ok).arg(tile.units_failed);
}
