#include "app/station_view.h"

#include "engine/run_session.h"

#include <QCheckBox>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int grid_spacing = 6;

struct TileColours
{
    const char *background;
    const char *border;
};

TileColours colours_of(TileState state)
{
    switch (state) {
    case TileState::ok: return {"#e3f4e1", "#3c9a3c"};
    case TileState::failed: return {"#fbe3e1", "#c62828"};
    case TileState::resetting:
    case TileState::press_reset: return {"#fff4d6", "#e0a000"};
    case TileState::sending:
    case TileState::verifying: return {"#e3eefb", "#3a78c2"};
    case TileState::scanning:
    case TileState::starting: return {"#eef2f6", "#7a8ea3"};
    case TileState::idle:
    case TileState::waiting:
    case TileState::skipped: break;
    }
    return {"#f4f4f4", "#b8b8b8"};
}

QLabel *small_label()
{
    auto *label = new QLabel;
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

QString size_words(qint64 bytes)
{
    if (bytes >= 1024 * 1024)
        return QStringLiteral("%1 MiB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
    if (bytes >= 1024)
        return QStringLiteral("%1 KiB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 B").arg(bytes);
}

} // namespace

PortTile::PortTile(QCheckBox *box, QLabel *progress_label, QWidget *parent)
    : QFrame(parent), box(box), adapter(small_label()), state(new QLabel), reason(small_label()),
      bar(new QProgressBar), details(small_label()), counters(small_label())
{
    setObjectName(QStringLiteral("port_tile"));
    setFixedWidth(tile_width);
    // A long device path is cut at the tile's edge; its tooltip and
    // accessible name carry all of it.
    box->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    QFont bold = state->font();
    bold.setBold(true);
    state->setFont(bold);
    // Every tile as high as any other, whatever it says: lines are fixed.
    const auto lines = [](QLabel *label, int count) {
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        label->setFixedHeight(count * label->fontMetrics().lineSpacing());
        label->setWordWrap(count > 1);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    };
    lines(adapter, 1);
    lines(state, 2);
    lines(reason, 2);
    lines(details, 1);
    lines(counters, 1);
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    bar->setFixedHeight(10);
    progress_label->hide();
    // The progress bar and a failure's (or the reset prompt's) words share
    // one place: a tile shows one or the other.
    auto *slot = new QWidget;
    slot->setFixedHeight(reason->height());
    auto *slot_layout = new QVBoxLayout(slot);
    slot_layout->setContentsMargins(0, 0, 0, 0);
    slot_layout->addWidget(bar);
    slot_layout->addWidget(reason);
    slot_layout->addStretch(1);
    reason->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);
    layout->addWidget(box);
    layout->addWidget(adapter);
    layout->addWidget(state);
    layout->addWidget(slot);
    layout->addWidget(details);
    layout->addWidget(counters);
    layout->addWidget(progress_label);
    setFixedHeight(layout->sizeHint().height());
}

void PortTile::show_data(const PortTileData &data, int reset_seconds_left, bool loop)
{
    const QString words = tile_state_words(data, reset_seconds_left, loop);
    state->setText(tile_heading_words(data, reset_seconds_left, loop));
    state->setToolTip(words);
    reason->setText(tile_reason_words(data));
    reason->setVisible(!reason->text().isEmpty());
    bar->setVisible(reason->text().isEmpty());
    adapter->setText(data.adapter);
    bar->setValue(data.state == TileState::ok ? 100 : data.percent());

    QStringList facts;
    if (!data.module_id.isEmpty())
        facts << tr("id %1").arg(data.module_id);
    if (loop)
        facts << tile_counter_words(data);
    QStringList line;
    if (data.baud > 0)
        line << tr("%1 baud").arg(data.baud);
    if (!data.module_id.isEmpty())
        line << (line.isEmpty() ? tr("id %1").arg(data.module_id) : data.module_id);
    details->setText(line.join(QStringLiteral(" · ")));
    details->setToolTip(details->text());
    counters->setText(loop ? tile_counter_words(data) : QString());

    setAccessibleName(data.port + QStringLiteral(": ") + words);
    QStringList description{words};
    description << facts;
    if (!data.adapter.isEmpty())
        description << data.adapter;
    setAccessibleDescription(description.join(QStringLiteral("; ")));

    if (data.state != shown_state) {
        shown_state = data.state;
        const TileColours colours = colours_of(data.state);
        setStyleSheet(QStringLiteral("QFrame#port_tile { background-color: %1; border: 1px solid %2;"
                                     " border-radius: 4px; }")
                          .arg(QLatin1String(colours.background), QLatin1String(colours.border)));
    }
}

StationView::StationView(QWidget *parent)
    : QWidget(parent), image_line(new QLabel), mode_line(new QLabel), totals_line(new QLabel),
      scroll(new QScrollArea), grid_widget(new QWidget), grid(new QGridLayout(grid_widget)),
      countdown(new QTimer(this))
{
    clock.start();
    image_line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *header = new QVBoxLayout;
    header->setSpacing(2);
    auto *mode_and_totals = new QHBoxLayout;
    mode_and_totals->addWidget(mode_line);
    mode_and_totals->addStretch(1);
    mode_and_totals->addWidget(totals_line);
    header->addWidget(image_line);
    header->addLayout(mode_and_totals);

    grid->setSpacing(grid_spacing);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll->setWidget(grid_widget);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->installEventFilter(this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(header);
    layout->addWidget(scroll, 1);

    countdown->setInterval(1000);
    connect(countdown, &QTimer::timeout, this, &StationView::tick_countdowns);
    set_image({});
    set_loop(false);
}

void StationView::set_loop(bool on)
{
    station.set_loop(on);
    show_all();
}

void StationView::add_tile(const QString &port, const QString &adapter, QCheckBox *box,
                           QLabel *progress_label)
{
    QMap<QString, QString> adapters;
    for (const QString &listed : station.ports())
        adapters.insert(listed, station.tile(listed)->adapter);
    adapters.insert(port, adapter);
    station.set_ports(adapters.keys(), adapters);
    auto *shown = new PortTile(box, progress_label, grid_widget);
    box->setToolTip(box->toolTip().isEmpty() ? port : box->toolTip());
    tiles.insert(port, shown);
    columns = 0; // placed anew in natural order
    reflow();
    show_port(port);
}

void StationView::clear_tiles()
{
    for (PortTile *shown : qAsConst(tiles))
        delete shown;
    tiles.clear();
    station.set_ports({});
    columns = 0;
}

QCheckBox *StationView::check_box(const QString &port) const
{
    PortTile *shown = tiles.value(port);
    return shown ? shown->check_box() : nullptr;
}

void StationView::set_image(const StationImage &image)
{
    station.set_image(image);
    show_header();
}

void StationView::watch(RunSession *session)
{
    const RunRequest &request = session->request();
    station.set_checks_after_transfer(request.checks.verify || !request.checks.version_command.isEmpty());
    station.run_started(request.ports, now_ms());
    show_all();

    auto on_port = [this](const QString &port) { show_port(port); };
    connect(session, &RunEvents::attempt_started, this, [this, on_port](const QString &port) {
        station.attempt_started(port);
        on_port(port);
    });
    connect(session, &RunEvents::rate_found, this, [this, on_port](const QString &port, int baud) {
        station.rate_found(port, baud);
        on_port(port);
    });
    connect(session, &RunEvents::resetting, this, [this, on_port](const QString &port, const QString &by) {
        station.resetting(port, by);
        on_port(port);
    });
    connect(session, &RunEvents::reset_needed, this, [this, on_port](const QString &port) {
        station.reset_needed(port, now_ms());
        on_port(port);
        countdown->start();
    });
    connect(session, &RunEvents::progress, this,
            [this, on_port](const QString &port, const QString &, qint64 sent, qint64 total) {
                station.progress(port, sent, total);
                on_port(port);
            });
    connect(session, &RunEvents::module_identified, this, [this, on_port](const QString &port, const QString &id) {
        station.module_identified(port, id);
        on_port(port);
    });
    connect(session, &RunEvents::facts_known, this, [this](const QString &, const PortFacts &facts) {
        station.version_known(facts.version_reply);
        show_header();
    });
    connect(session, &RunEvents::image_taken, this,
            [this](const QString &, const QString &path, qint64 bytes, const QString &sha256) {
                if (station.image().sha256 != sha256)
                    set_image({QFileInfo(path).fileName(), bytes, sha256, QString()});
            });
    connect(session, &RunEvents::attempt_finished, this,
            [this, on_port](const QString &port, int, PortResult result, FailReason reason) {
                station.attempt_finished(port, result, reason);
                on_port(port);
            });
    auto done = [this, on_port](const QString &port, PortResult result) {
        station.port_done(port, result);
        on_port(port);
        show_header();
    };
    connect(session, &RunSession::port_finished, this,
            [done](const QString &port, PortResult result) { done(port, result); });
    connect(session, &RunSession::unit_ended, this,
            [done](const QString &port, int, int, PortResult result) { done(port, result); });
    connect(session, &RunSession::module_gone, this, [this, on_port](const QString &port) {
        station.module_gone(port);
        on_port(port);
    });
}

void StationView::show_port(const QString &port)
{
    PortTile *shown = tiles.value(port);
    const PortTileData *data = station.tile(port);
    if (shown && data)
        shown->show_data(*data, station.reset_seconds_left(port, now_ms()), station.is_loop());
}

void StationView::show_all()
{
    for (const QString &port : station.ports())
        show_port(port);
    show_header();
}

void StationView::show_header()
{
    const StationImage &image = station.image();
    if (image.name.isEmpty()) {
        image_line->setText(tr("Image: none chosen yet (open file)"));
    } else {
        QString line = tr("Image: %1, %2, SHA-256 %3")
                           .arg(image.name, size_words(image.bytes), image.sha256.left(12));
        if (!image.version.isEmpty())
            line += tr(", version %1").arg(image.version);
        image_line->setText(line);
        image_line->setToolTip(image.sha256);
    }
    mode_line->setText(station.is_loop() ? tr("Mode: fixture loop, module after module")
                                         : tr("Mode: parallel, every ticked port at once"));
    totals_line->setText(tr("%1 ok, %2 failed, %3 units/h")
                             .arg(station.units_ok())
                             .arg(station.units_failed())
                             .arg(station.units_per_hour(now_ms()), 0, 'f', 1));
    setAccessibleName(image_line->text() + QStringLiteral("; ") + mode_line->text() + QStringLiteral("; ")
                      + totals_line->text());
}

// As many tiles a row as the visible width holds, in natural port order.
void StationView::reflow()
{
    const int width = scroll->viewport()->width();
    const int fitting = qMax(1, (width + grid_spacing) / (PortTile::tile_width + grid_spacing));
    if (fitting == columns)
        return;
    columns = fitting;
    for (PortTile *shown : qAsConst(tiles))
        grid->removeWidget(shown);
    int index = 0;
    for (const QString &port : station.ports()) {
        if (PortTile *shown = tiles.value(port)) {
            grid->addWidget(shown, index / columns, index % columns);
            ++index;
        }
    }
    // Up to three rows in view before the log gives way to nothing more.
    const int rows = qMin(3, (index + columns - 1) / columns);
    const int tile_height = tiles.isEmpty() ? 0 : tiles.first()->height();
    scroll->setMinimumHeight(rows > 0 ? rows * tile_height + (rows - 1) * grid_spacing : 0);
}

void StationView::tick_countdowns()
{
    for (const QString &port : station.ports()) {
        if (station.tile(port)->state == TileState::press_reset)
            show_port(port);
    }
    if (!station.any_reset_prompt())
        countdown->stop();
    show_header(); // units per hour move on
}

bool StationView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == scroll->viewport() && event->type() == QEvent::Resize)
        reflow();
    return QWidget::eventFilter(watched, event);
}

void StationView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange)
        show_all();
    QWidget::changeEvent(event);
}
