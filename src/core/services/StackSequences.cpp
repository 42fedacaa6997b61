#include "StackSequences.h"

#include "ServicePorts.h"
#include "stack/LogBlock.h"

namespace tavex {

QString startAllFirstText(const QString &root)
{
    return QStringLiteral("=== 启动中 ===\n正在准备目录和服务...\n目录: ") + root;
}

QString startAllProgressText(const QStringList &resultsSoFar, const QString &nextService,
                             const QString &root)
{
    QString text = QStringLiteral("=== 启动中 ===\n");
    for (const QString &result : resultsSoFar)
        text += result + QLatin1Char('\n');
    return text + QStringLiteral("正在启动 ") + nextService + QStringLiteral("...\n目录: ") + root;
}

QStringList trimmedEntries(const QStringList &results)
{
    QStringList entries;
    for (const QString &result : results) {
        const QString trimmed = result.trimmed();
        if (!trimmed.isEmpty())
            entries << trimmed;
    }
    return entries;
}

QString startAllResultBlock(const QStringList &results, const QString &phpDisplay,
                            const QString &root)
{
    const QStringList footer = {QStringLiteral("网站: ") + kSiteAddress,
                                QStringLiteral("phpMyAdmin: ") + kPhpMyAdminAddress,
                                QStringLiteral("MySQL: localhost:3306"),
                                QStringLiteral("PHP: ") + phpDisplay,
                                QStringLiteral("目录: ") + root};
    return buildLogBlock(QStringLiteral("=== 启动完成 ==="), trimmedEntries(results), footer);
}

QString stopAllFirstText(const QString &root)
{
    return QStringLiteral("=== 停止中 ===\n正在关闭服务...\n目录: ") + root;
}

QString stopAllResultBlock(const QStringList &results)
{
    return buildLogBlock(QStringLiteral("=== 停止完成 ==="), trimmedEntries(results), {});
}

} // namespace tavex
