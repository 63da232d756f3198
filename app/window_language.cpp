#include "app/mainwindow.h"

#include "app/language_menu.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

void MainWindow::use_language(Language language)
{
    language_menu->choose(language);
}

void MainWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QMainWindow::changeEvent(event);
}

void MainWindow::retranslate()
{
    open_button->setText(tr("open file"));
    if (watching() && !update_button->isEnabled())
        update_button->setText(tr("stopping after the units in progress"));
    else
        name_update_button();
    tip_label->setText(tr("Please select upgrade equipment serial port:"));
    history_menu->setTitle(tr("History"));
    report_action->setText(tr("Report…"));
    for (int row = 0; row < max_ports && check_boxes[row]; ++row)
        check_boxes[row]->setToolTip(port_tooltip(check_boxes[row]->text()));
    language_menu->retranslate();
}
