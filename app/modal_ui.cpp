#include "app/modal_ui.h"

#include <QFileDialog>
#include <QMessageBox>

void DialogModalUi::warning(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::warning(parent, title, text);
}

void DialogModalUi::critical(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::critical(parent, title, text);
}

void DialogModalUi::about(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::about(parent, title, text);
}

QString DialogModalUi::open_file_name(QWidget *parent, const QString &caption,
                                      const QString &directory, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

QString DialogModalUi::save_file_name(QWidget *parent, const QString &caption, const QString &suggested,
                                      const QString &filter)
{
    return QFileDialog::getSaveFileName(parent, caption, suggested, filter);
}
