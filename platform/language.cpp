#include "platform/language.h"

#include <QCoreApplication>
#include <QTranslator>

// The resource sits in this static library: without a reference to it the
// linker would leave it out of the program.
static void load_translation_resource()
{
    Q_INIT_RESOURCE(translations);
}

bool language_named(const QString &name, Language &language)
{
    if (name == QLatin1String("zh"))
        language = Language::chinese;
    else if (name == QLatin1String("en"))
        language = Language::english;
    else
        return false;
    return true;
}

TextLanguage::TextLanguage() : english(std::make_unique<QTranslator>()) {}

TextLanguage::~TextLanguage()
{
    use(Language::chinese);
}

bool TextLanguage::use(Language language)
{
    if (language == in_use)
        return true;
    if (language == Language::chinese) {
        QCoreApplication::removeTranslator(english.get());
        in_use = language;
        return true;
    }
    load_translation_resource();
    if (english->isEmpty() && !english->load(QStringLiteral(":/translations/tessik_en.qm")))
        return false;
    if (!QCoreApplication::installTranslator(english.get()))
        return false;
    in_use = language;
    return true;
}
