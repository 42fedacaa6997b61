// Starts a window, prints "frame" once its first frame is painted, then "rss <kB>" after a second
// and a half of idling, and quits. Built twice: as the panel's window (the same set-up as the
// program's) and as a minimal Qt Widgets window, so the two are measured the same way.
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cstdio>

#ifdef TAVEX_BENCH_PANEL
#include "ContentView.h"
#include "PanelApplication.h"
#else
#include <QLabel>
#include <QVBoxLayout>
#endif

namespace {

long residentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Notes the first paint of the window.
class FirstFrame : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // After the paint has been flushed to the screen.
            QTimer::singleShot(0, this, [] {
                std::puts("frame");
                std::fflush(stdout);
                QTimer::singleShot(1500, qApp, [] {
                    std::printf("rss %ld\n", residentKilobytes());
                    std::fflush(stdout);
                    QCoreApplication::quit();
                });
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tavex"));
    QCoreApplication::setApplicationName(QStringLiteral("tavex-panel"));
#ifdef TAVEX_BENCH_PANEL
    tavex::ui::setUpWindowApplication(app);
    tavex::ui::ContentView window;
#else
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("TAVEX"), &window));
    window.resize(960, 860);
#endif
    FirstFrame firstFrame;
    window.installEventFilter(&firstFrame);
    window.show();
    return QApplication::exec();
}
