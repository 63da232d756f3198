#pragma once

#include <QString>

class QWidget;

// Every message box and the file dialog of the window pass through this, so
// that tests (and the headless mode) can answer them without a modal loop.
class ModalUi
{
public:
    virtual ~ModalUi() = default;
    virtual void warning(QWidget *parent, const QString &title, const QString &text) = 0;
    virtual void critical(QWidget *parent, const QString &title, const QString &text) = 0;
    virtual void about(QWidget *parent, const QString &title, const QString &text) = 0;
    virtual QString open_file_name(QWidget *parent, const QString &caption,
                                   const QString &directory, const QString &filter) = 0;
    virtual QString save_file_name(QWidget *parent, const QString &caption, const QString &suggested,
                                   const QString &filter) = 0;
};

// The real thing: QMessageBox with one OK button and QFileDialog.
class DialogModalUi : public ModalUi
{
public:
    void warning(QWidget *parent, const QString &title, const QString &text) override;
    void critical(QWidget *parent, const QString &title, const QString &text) override;
    void about(QWidget *parent, const QString &title, const QString &text) override;
    QString open_file_name(QWidget *parent, const QString &caption,
                           const QString &directory, const QString &filter) override;
    QString save_file_name(QWidget *parent, const QString &caption, const QString &suggested,
                           const QString &filter) override;
};
