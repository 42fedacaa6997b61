#include "Localization.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace tavex::ui {

namespace {
const char *const kContext = "tavex";
const QString kTablesDir = QStringLiteral(":/i18n");
const QString kTableBase = QStringLiteral("tavex");
} // namespace

std::unique_ptr<QTranslator> loadTranslations(const QLocale &locale)
{
    auto translator = std::make_unique<QTranslator>();
    if (locale.language() != QLocale::C &&
        translator->load(locale, kTableBase, QStringLiteral("_"), kTablesDir))
        return translator;
    if (translator->load(kTableBase + QStringLiteral("_zh_CN"), kTablesDir))
        return translator;
    return nullptr;
}

std::unique_ptr<QTranslator> loadQtTranslations(const QTranslator &panelTable)
{
    const QString language = panelTable.language();
    auto translator = std::make_unique<QTranslator>();
    if (!language.isEmpty() && translator->load(QStringLiteral("qtbase_") + language,
                                                QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return translator;
    return nullptr;
}

QString localized(const char *key)
{
    return QCoreApplication::translate(kContext, key);
}

QString localeCaption(const QLocale &locale)
{
    if (locale.language() == QLocale::C)
        return {};
    const QString language = locale.nativeLanguageName();
    if (language.isEmpty())
        return {};
    const QString territory = locale.nativeTerritoryName();
    if (territory.isEmpty())
        return language;
    const bool fullWidth =
        locale.language() == QLocale::Chinese || locale.language() == QLocale::Japanese;
    return fullWidth ? language + QStringLiteral("（") + territory + QStringLiteral("）")
                     : language + QStringLiteral(" (") + territory + QLatin1Char(')');
}

} // namespace tavex::ui
