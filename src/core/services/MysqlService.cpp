#include "MysqlService.h"

#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "process/ProcessRunner.h"

#include <QFileInfo>
#include <QStringList>

namespace tavex {

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
        QStringLiteral("basedir=") + root + QStringLiteral("/runtime/mysql/"),
        QStringLiteral("datadir=") + root + QStringLiteral("/runtime/mysql/data/"),
        QStringLiteral("port=3306"),
        QStringLiteral("character-set-server=utf8"),
        QStringLiteral("collation-server=utf8_unicode_ci"),
    }
        .join(QLatin1Char('\n'));
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
    const DetachedResult launched = startDetachedProcess(
        {layout.mysqldPath(),
         {QStringLiteral("--defaults-file=") + defaultsFile, QStringLiteral("--daemonize")},
         QString(),
         -1});
    if (!launched.started())
        return errnoDescription(launched.errorCode);
    return {};
}

QString stopMysql(const RuntimeLayout &layout)
{
    return runForwarded(layout.mysqladminPath(), {QStringLiteral("-u"), QStringLiteral("root"),
                                                  QStringLiteral("-pkelp"),
                                                  QStringLiteral("shutdown")});
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
    return QStringLiteral("mysqld.*") + escapeExtendedRegex(root + QStringLiteral("/runtime/mysql"));
}

} // namespace tavex
