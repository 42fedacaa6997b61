#include "ContentView.h"
#include "HeadlessCommands.h"
#include "PanelApplication.h"
#include "process/FileHelpers.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QThreadPool>
#include <QTranslator>

#include <cstdio>

namespace {

// Error descriptions come from Qt; in a Chinese locale the commands show them in Chinese.
void installQtTranslations(QCoreApplication &app)
{
    if (QLocale().language() != QLocale::Chinese)
        return;
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
}

const char *const kCommandsHelp =
    "\n命令:\n"
    "  status            查看 MySQL、PHP Web 与 phpMyAdmin 是否运行（全部运行时退出码 0，否则 3）\n"
    "  start-all         启动全部服务（全部由本目录启动并应答时退出码 0，否则 1）\n"
    "  stop-all          停止全部服务（全部停止时退出码 0，否则 1）\n"
    "  doctor            打印诊断报告，不改变任何东西（没有问题时退出码 0，否则 1）\n"
    "  choose-root DIR   把 DIR 设为 Tavex-panel 根目录（接受退出码 0，拒绝 1）\n"
    "  update [--url URL | --file PATH]\n"
    "                    下载更新包并更新/修复站点（成功退出码 0，否则 1）；\n"
    "                    --url 只对本次替换更新包地址，仍会附加 ?t=日期；\n"
    "                    --file 改用磁盘上的 zip 更新包，不下载，该文件只读取、不改动\n"
    "  rollback          把站点恢复到上次更新前的样子（Data 不动；成功退出码 0，否则 1）\n"
    "不带命令时打开窗口。";

// A line to the terminal about the command line, whose words may hold control characters.
void writeCommandLineError(const QString &text)
{
    const QByteArray line = tavex::visibleControlCharacters(text).toUtf8() + '\n';
    std::fputs(line.constData(), stderr);
}

void nameApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavex"));
    QCoreApplication::setApplicationName(QStringLiteral("tavex-panel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVEX_VERSION));
}

int runWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    nameApplication();
    // Qt's own texts follow the language of the window's labels, which the set-up chooses.
    tavex::ui::setUpWindowApplication(app);
    int status = 0;
    {
        tavex::ui::ContentView view;
        view.show();
        status = QApplication::exec();
    }
    // The window is gone; what it started on the thread pool (a start or stop sequence, an
    // update, the runtime's first installation) is let finish rather than cut off halfway.
    QThreadPool::globalInstance()->waitForDone();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // Without a command the program is the window; the commands need no display.
    if (argc == 1)
        return runWindow(argc, argv);

    QCoreApplication app(argc, argv);
    nameApplication();
    installQtTranslations(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("TAVEX 本地调试助手") +
                                     QString::fromUtf8(kCommandsHelp));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(
        QStringLiteral("command"),
        QStringLiteral(
            "status | start-all | stop-all | doctor | choose-root DIR | update | rollback"));
    const QCommandLineOption urlOption(QStringLiteral("url"),
                                       QStringLiteral("update: 本次使用的更新包地址"),
                                       QStringLiteral("URL"));
    parser.addOption(urlOption);
    const QCommandLineOption fileOption(QStringLiteral("file"),
                                        QStringLiteral("update: 本次使用的本地 zip 更新包"),
                                        QStringLiteral("PATH"));
    parser.addOption(fileOption);
    // Qt would print an unknown option as it was given; help and version are still its own.
    if (!parser.parse(QCoreApplication::arguments())) {
        writeCommandLineError(QCoreApplication::applicationName() + QStringLiteral(": ") +
                              parser.errorText());
        return 2;
    }
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (parser.isSet(urlOption) && parser.isSet(fileOption)) {
        std::fputs("tavex-panel: --url 与 --file 不能同时使用\n", stderr);
        return 2;
    }
    for (const QCommandLineOption *option : {&urlOption, &fileOption}) {
        if (parser.isSet(*option) && command != QLatin1String("update")) {
            writeCommandLineError(QStringLiteral("tavex-panel: --") + option->names().constFirst() +
                                  QStringLiteral(" 只能与 update 一起使用"));
            return 2;
        }
    }
    if (parser.isSet(fileOption) && parser.value(fileOption).isEmpty()) {
        std::fputs("tavex-panel: --file 需要一个文件路径\n", stderr);
        return 2;
    }
    if (command == QLatin1String("update") && args.size() == 1)
        return tavex::runUpdateCommand(parser.value(urlOption), parser.value(fileOption));
    if (command == QLatin1String("rollback") && args.size() == 1)
        return tavex::runRollbackCommand();
    if (command == QLatin1String("status") && args.size() == 1)
        return tavex::runStatusCommand();
    if (command == QLatin1String("start-all") && args.size() == 1)
        return tavex::runStartAllCommand();
    if (command == QLatin1String("stop-all") && args.size() == 1)
        return tavex::runStopAllCommand();
    if (command == QLatin1String("doctor") && args.size() == 1)
        return tavex::runDoctorCommand();
    if (command == QLatin1String("choose-root") && args.size() == 2)
        return tavex::runChooseRootCommand(args.at(1));
    writeCommandLineError(QStringLiteral("tavex-panel: 未知命令: ") + args.join(QLatin1Char(' ')));
    std::fputs(qPrintable(parser.helpText()), stderr);
    return 2;
}
