#pragma once

#include <QLocale>
#include <QString>
#include <memory>

class QTranslator;

namespace tavex::ui {

// The window's labels come from Qt Linguist tables looked up by key. The Simplified Chinese table
// serves every locale that has no table of its own.
std::unique_ptr<QTranslator> loadTranslations(const QLocale &locale);

// Qt's own table (the choosers' buttons and labels) for the language of the panel's table, so
// that a dialog does not mix two languages; null when Qt has none installed for it.
std::unique_ptr<QTranslator> loadQtTranslations(const QTranslator &panelTable);

// The text of a label key ("app.title", "action.start_all", ...) in the installed table.
QString localized(const char *key);

// The locale's name in its own language, as "中文（中国）" or "English (United States)"; empty
// when there is none (the C locale).
QString localeCaption(const QLocale &locale);

} // namespace tavex::ui
