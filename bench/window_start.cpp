// Starts a window, prints "frame" once its first frame is painted, then "rss <kB> <kB of font
// files>" after a second and a half of idling, and quits. Built three times: as the panel's window
// (the same set-up as the program's), as a minimal Qt Widgets window, and as that minimal window
// showing Chinese text in the panel's fonts, so all are measured the same way.
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <ctime>
#include <sys/resource.h>

#ifdef TAVEX_BENCH_PANEL
#include "ContentView.h"
#include "PanelApplication.h"
#else
#include <QLabel>
#include <QVBoxLayout>
#endif

namespace {

// Milliseconds since the benchmark started this process: it passes its monotonic clock in
// TAVEX_BENCH_T0_NS, so that loading the libraries before main() counts too.
double sinceProcessStart()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const double nowNs = double(now.tv_sec) * 1e9 + double(now.tv_nsec);
    return (nowNs - qEnvironmentVariable("TAVEX_BENCH_T0_NS").toDouble()) / 1e6;
}

// "phase <name> <ms since the process started>", for the table of where the start goes.
void phase(const char *name)
{
    std::printf("phase %s %.1f\n", name, sinceProcessStart());
    std::fflush(stdout);
}

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

// Of the resident memory, the pages of font files mapped from the shared page cache: clean, and
// the kernel maps the file around each glyph that is read.
long fontFileKilobytes()
{
    QFile maps(QStringLiteral("/proc/self/smaps"));
    if (!maps.open(QIODevice::ReadOnly))
        return -1;
    long total = 0;
    bool font = false;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        // A mapping's first line starts with its address range; its fields follow, one a line.
        if (line.left(line.indexOf(' ')).contains('-'))
            font = line.endsWith(".ttc") || line.endsWith(".ttf") || line.endsWith(".otf");
        else if (font && line.startsWith("Rss:"))
            total += line.mid(4).trimmed().split(' ').value(0).toLong();
    }
    return total;
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
                phase("painted");
                // The process's own processor time up to here: a loaded machine stretches the
                // wall time of both windows, far less their processor time.
                rusage used{};
                getrusage(RUSAGE_SELF, &used);
                std::printf("cpu %.1f\n",
                            (used.ru_utime.tv_sec + used.ru_stime.tv_sec) * 1e3 +
                                (used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e3);
                std::puts("frame");
                std::fflush(stdout);
                QTimer::singleShot(1500, qApp, [] {
                    std::printf("rss %ld %ld\n", residentKilobytes(), fontFileKilobytes());
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
    phase("main");
    QApplication app(argc, argv);
    phase("application");
    QCoreApplication::setOrganizationName(QStringLiteral("Tavex"));
    QCoreApplication::setApplicationName(QStringLiteral("tavex-panel"));
#ifdef TAVEX_BENCH_PANEL
    tavex::ui::setUpWindowApplication(app);
    phase("look+translations");
    tavex::ui::ContentView window;
    phase("widgets");
#else
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("TAVEX"), &window));
#ifdef TAVEX_BENCH_CJK
    // The same minimal window showing Chinese text in the faces the panel uses (regular, bold
    // and monospaced): what showing the panel's language costs by itself.
    const auto label = [&](const char *family, QFont::Weight weight, const QString &text) {
        auto *shown = new QLabel(text, &window);
        QFont font(QString::fromLatin1(family));
        font.setPixelSize(13);
        font.setWeight(weight);
        shown->setFont(font);
        layout->addWidget(shown);
    };
    label("Noto Sans CJK SC", QFont::Normal, QStringLiteral("本地调试助手 全部启动 全部停止"));
    label("Noto Sans CJK SC", QFont::Bold, QStringLiteral("服务状态 目录与权限"));
    label("Noto Sans Mono CJK SC", QFont::Normal, QStringLiteral("=== 服务状态 === 已停止"));
#endif
    window.resize(960, 860);
    phase("look+translations");
    phase("widgets");
#endif
    FirstFrame firstFrame;
    window.installEventFilter(&firstFrame);
    window.show();
    phase("shown");
    return QApplication::exec();
}
