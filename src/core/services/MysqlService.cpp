#include "MysqlService.h"

#include "ServiceDiagnosis.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "process/FileHelpers.h"
#include "process/ProcessRunner.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

namespace tavex {

namespace {

// The server reads "#" as the start of a comment even within a value, and a backslash as an
// escape: a path holding either, or a quote, is written quoted and escaped so that it reads back
// whole. Other paths are written as they are.
QString optionValue(const QString &path)
{
    static const QRegularExpression special(QStringLiteral("[#\\\\\"']"));
    if (!path.contains(special))
        return path;
    QString escaped = path;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

QString mysqlOptionFileText(const QString &root)
{
    return QStringList{
        QStringLiteral("[client]"),
        QStringLiteral("default-character-set=utf8"),
        QStringLiteral("port=3306"),
        QString(),
        QStringLiteral("[mysql]"),
        QStringLiteral("default-character-set=utf8"),
        QString(),
        QStringLiteral("[mysqld]"),
        QStringLiteral("basedir=") + optionValue(RuntimeLayout(root).mysqlDir() + QLatin1Char('/')),
        QStringLiteral("datadir=") +
            optionValue(RuntimeLayout(root).mysqlDataDir() + QLatin1Char('/')),
        QStringLiteral("port=3306"),
        QStringLiteral("character-set-server=utf8"),
        QStringLiteral("collation-server=utf8_unicode_ci"),
    }
        .join(QLatin1Char('\n'));
}

QString printablePath(const QString &path)
{
    QString printable;
    for (const QChar c : path) {
        if (c == QLatin1Char('\n'))
            printable += QStringLiteral("\\n");
        else if (hasControlCharacter(QString(c)))
            printable += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            printable += c;
    }
    return printable;
}

QString writeMysqlOptionFile(const RuntimeLayout &layout)
{
    if (hasControlCharacter(layout.root()))
        return QStringLiteral("MySQL: 目录路径含有换行或控制字符，无法写入选项文件: ") +
               printablePath(layout.root());
    const QString error = tryWrite(layout.mysqlCnfPath(), mysqlOptionFileText(layout.root()));
    return error.isEmpty() ? QString() : QStringLiteral("MySQL: ") + error;
}

QString mysqlOptionFileProblem(const RuntimeLayout &layout, const QString &step)
{
    if (!hasControlCharacter(layout.root()) &&
        holdsExactly(layout.mysqlCnfPath(), mysqlOptionFileText(layout.root())))
        return {};
    return QStringLiteral("MySQL: 选项文件无法使用，") + step + QStringLiteral(": ") +
           printablePath(layout.mysqlCnfPath());
}

QString ensureMysqlInitialized(const RuntimeLayout &layout, const QString &defaultsFile)
{
    if (QFileInfo::exists(layout.mysqlSystemDbDir()) ||
        QFileInfo(layout.mysqlSystemDbDir()).isSymLink())
        return {};
    return runProcess(layout.mysqlInstallDbPath(),
                      {QStringLiteral("--defaults-file=") + defaultsFile,
                       QStringLiteral("--initialize-insecure")});
}

QString startMysql(const RuntimeLayout &layout, const QString &defaultsFile)
{
    noteLogStart(databaseLogStartMarkPath(layout), databaseErrorLogPath(layout));
    const DetachedResult launched = startDetachedProcess(
        {layout.mysqldPath(),
         {QStringLiteral("--defaults-file=") + defaultsFile, QStringLiteral("--daemonize")},
         QString(),
         -1});
    if (!launched.started())
        return errnoDescription(launched.errorCode);
    return {};
}

QString stopMysql(const RuntimeLayout &layout, int timeoutMs)
{
    const ForwardedRun run = runForwarded(layout.mysqladminPath(),
                                          {QStringLiteral("-u"), QStringLiteral("root"),
                                           QStringLiteral("-pkelp"), QStringLiteral("shutdown")},
                                          timeoutMs);
    if (run.outcome == ForwardedRun::TimedOut)
        return QStringLiteral(
                   "MySQL: mysqladmin 超过 %1 秒未结束，关闭失败，已强制结束，改为按进程结束")
            .arg(timeoutMs / 1000);
    return run.startError;
}

QString escapeExtendedRegex(const QString &text)
{
    static const QString special = QStringLiteral("\\^$.|?*+()[]{}");
    QString escaped;
    escaped.reserve(text.size() * 2);
    for (const QChar c : text) {
        if (special.contains(c))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

QString mysqlKillPattern(const QString &root)
{
    return QStringLiteral("mysqld.*") + escapeExtendedRegex(RuntimeLayout(root).mysqlDir());
}

} // namespace tavex
