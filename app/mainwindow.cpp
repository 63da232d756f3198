#include "app/mainwindow.h"

#include "app/language_menu.h"
#include "app/modal_ui.h"
#include "app/station_view.h"
#include "engine/fixture_loop.h"
#include "engine/run_session.h"
#include "records/history_writer.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QGuiApplication>
#include <QScreen>
#include <QSpacerItem>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QSpacerItem *new_spacer()
{
    return new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), modal(std::make_unique<DialogModalUi>())
{
    setGeometry(600, 100, 500, 400);
    port_count = 0;

    central_widget = new QWidget(this);
    setWindowTitle(QStringLiteral("Tessik Update Tool V1.0"));
    setCentralWidget(central_widget);

    main_layout = new QVBoxLayout();
    open_button = new QPushButton(tr("open file"));
    update_button = new QPushButton(tr("update"));
    QSpacerItem *tip_spacer_above = new_spacer();
    QSpacerItem *tip_spacer_below = new_spacer();
    QSpacerItem *button_spacer_middle = new_spacer();
    QSpacerItem *button_spacer_right = new_spacer();
    log_view = new QTextEdit();
    tip_label = new QLabel(tr("Please select upgrade equipment serial port:"));
    ports_layout = new QHBoxLayout();
    tip_layout = new QVBoxLayout();

    load_port_table();

    tip_layout->addItem(tip_spacer_above);
    tip_layout->addWidget(tip_label);
    tip_layout->addItem(tip_spacer_below);
    main_layout->addLayout(tip_layout);

    build_port_rows();

    log_layout = new QHBoxLayout();
    log_layout->addWidget(log_view);
    button_layout = new QHBoxLayout();
    button_layout->addWidget(open_button);
    button_layout->addItem(button_spacer_middle);
    button_layout->addWidget(update_button);
    button_layout->addItem(button_spacer_right);
    main_layout->addLayout(log_layout);
    main_layout->addLayout(button_layout);
    central_widget->setLayout(main_layout);

    history_menu = menuBar()->addMenu(tr("History"));
    report_action = history_menu->addAction(tr("Report…"), this, &MainWindow::write_report);
    language_menu = new LanguageMenu(menuBar(), this);

    connect(open_button, SIGNAL(clicked()), this, SLOT(open_file()));
    connect(update_button, SIGNAL(clicked()), this, SLOT(send_file()));

    recv_timer = new QTimer();
    connect(recv_timer, SIGNAL(timeout()), this, SLOT(recv_bit()));
    recv_timer->setInterval(300);
    xmodem_timer = new QTimer();
    connect(xmodem_timer, SIGNAL(timeout()), this, SLOT(recv_xmodem_bit()));
    reset_timer = new QTimer();
    connect(reset_timer, SIGNAL(timeout()), this, SLOT(check_reset()));

    current_port = 0;

    port_watch_timer = new QTimer(this);
    connect(port_watch_timer, &QTimer::timeout, this, &MainWindow::poll_ports);
    port_watch_timer->start(1000);
}

MainWindow::~MainWindow()
{
    // Ends a run still going: a scan is asked to stop and waited for, so
    // nothing of it runs after main() has returned.
    if (session)
        disconnect(session.get(), nullptr, this, nullptr);
    session.reset();
    if (!ports_layout->parent())
        delete ports_layout; // never placed: no port was listed
    delete recv_timer;
    delete xmodem_timer;
    delete reset_timer;
    close_image();
}

void MainWindow::set_parallel(bool on)
{
    parallel = on;
    if (on && !station)
        use_station_view();
    name_update_button();
}

void MainWindow::set_watch(bool on)
{
    watch = on;
    if (station)
        station->set_loop(on);
    name_update_button();
}

// The port rows give way to the station view: a tile per port, the image,
// the mode and the totals above them, and a window that fits the screen.
void MainWindow::use_station_view()
{
    remove_port_rows();
    station = new StationView;
    main_layout->insertWidget(1, station, 3);
    main_layout->setStretchFactor(log_layout, 1);
    log_view->setMinimumHeight(90);
    for (int i = 0; i < tip_layout->count(); ++i) {
        if (QSpacerItem *spacer = tip_layout->itemAt(i)->spacerItem())
            spacer->changeSize(0, 4, QSizePolicy::Minimum, QSizePolicy::Fixed);
    }
    build_port_rows();
    fit_to_screen();
}

void MainWindow::fit_to_screen()
{
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    setGeometry(station_geometry(screen->availableGeometry()));
}

QRect MainWindow::station_geometry(const QRect &free)
{
    // A margin for a window manager's frame; a 1280x800 screen holds six
    // tiles a row and sixteen ports with no scrolling.
    const int width = qMin(1240, free.width() - 20);
    const int height = qMin(760, free.height() - 40);
    return QRect(free.x() + (free.width() - width) / 2, free.y() + 10, width, height);
}

void MainWindow::set_modal_ui(std::unique_ptr<ModalUi> ui)
{
    modal = std::move(ui);
}
