#include "PanelApplication.h"

#include "Localization.h"
#include "Theme.h"

#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QTimer>
#include <QTranslator>

namespace tavex::ui {

namespace {

// Sets the application's icon once the first frame is on the screen: on the first paint it waits
// for the paint, and for whatever the paint itself queued, to be done, and then leaves.
class WindowIconAfterFirstFrame : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_painted) {
            m_painted = true;
            QTimer::singleShot(0, this, [this] {
                QTimer::singleShot(0, this, [this] {
                    QIcon icon;
                    for (const int size : {16, 32, 48, 64, 128})
                        icon.addPixmap(Theme::iconPixmap(QStringLiteral("tavex-panel"), size, 1.0));
                    QApplication::setWindowIcon(icon);
                    deleteLater();
                });
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_painted = false;
};

} // namespace

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
    // The icon is drawn after the first frame: the window's first frame does not wait for it.
    app.installEventFilter(new WindowIconAfterFirstFrame(&app));
}

} // namespace tavex::ui
