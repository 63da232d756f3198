#pragma once

#include <QString>
#include <memory>

class QTranslator;

// The language of the operator's texts. The sources hold the Chinese
// default: the module vendor's log lines and boxes beside the window's
// English button texts. English comes from translations/tessik_en.ts,
// compiled into the program.
enum class Language {
    chinese,
    english,
};

// "zh" or "en", as --lang and language= in the settings file take them;
// false for any other name.
bool language_named(const QString &name, Language &language);

// The process's translator, installed while this object lives. Installing
// or removing it sends QEvent::LanguageChange to every widget; texts formed
// from then on are in the new language.
class TextLanguage
{
public:
    TextLanguage();
    ~TextLanguage();
    TextLanguage(const TextLanguage &) = delete;
    TextLanguage &operator=(const TextLanguage &) = delete;

    // False when the language's translations could not be loaded (the
    // texts stay as they are).
    bool use(Language language);
    Language current() const { return in_use; }

private:
    std::unique_ptr<QTranslator> english;
    Language in_use = Language::chinese;
};
