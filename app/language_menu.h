#pragma once

#include "platform/language.h"

#include <QObject>

class QAction;
class QMenu;
class QMenuBar;

// The window's Language menu: 中文 and English, each named in its own
// words. Choosing one switches the process's translator at once; every
// widget then hears QEvent::LanguageChange.
class LanguageMenu : public QObject
{
    Q_OBJECT

public:
    LanguageMenu(QMenuBar *bar, QObject *parent);

    void choose(Language language);
    void retranslate(); // the menu's own title

private:
    TextLanguage texts;
    QMenu *menu = nullptr;
    QAction *chinese = nullptr;
    QAction *english = nullptr;
};
