#include "PanelApplication.h"

#include "Localization.h"
#include "Theme.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>
#include <QTranslator>

namespace tavex::ui {

void setUpWindowApplication(QApplication &app)
{
    Theme::applyApplicationLook(app);
    if (auto translator = loadTranslations(QLocale())) {
        if (auto qtTable = loadQtTranslations(*translator)) {
            qtTable->setParent(&app);
            QCoreApplication::installTranslator(qtTable.release());
        }
        translator->setParent(&app);
        QCoreApplication::installTranslator(translator.release());
    }
    QGuiApplication::setDesktopFileName(QStringLiteral("tavex-panel"));
    // The icon is drawn once the event loop runs: the window's first frame does not wait for it.
    QTimer::singleShot(0, &app, [] {
        QIcon icon;
        for (const int size : {16, 32, 48, 64, 128})
            icon.addPixmap(Theme::iconPixmap(QStringLiteral("tavex-panel"), size, 1.0));
        QApplication::setWindowIcon(icon);
    });
}

} // namespace tavex::ui
