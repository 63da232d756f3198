#include "app/language_menu.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>

LanguageMenu::LanguageMenu(QMenuBar *bar, QObject *parent) : QObject(parent)
{
    menu = bar->addMenu(QString());
    auto *group = new QActionGroup(menu);
    chinese = group->addAction(QStringLiteral("中文"));
    english = group->addAction(QStringLiteral("English"));
    for (QAction *entry : {chinese, english}) {
        entry->setCheckable(true);
        menu->addAction(entry);
    }
    chinese->setChecked(true);
    connect(chinese, &QAction::triggered, this, [this] { choose(Language::chinese); });
    connect(english, &QAction::triggered, this, [this] { choose(Language::english); });
    retranslate();
}

void LanguageMenu::choose(Language language)
{
    texts.use(language);
    (texts.current() == Language::english ? english : chinese)->setChecked(true);
}

void LanguageMenu::retranslate()
{
    menu->setTitle(tr("Language"));
}
