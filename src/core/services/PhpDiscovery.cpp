#include "PhpDiscovery.h"

#include "platform/SystemInfo.h"

#include <QFileInfo>

namespace tavex {

namespace {

const QStringList kVersionDirs = {QStringLiteral("PHP8.5"), QStringLiteral("PHP8.2"),
                                  QStringLiteral("PHP7.3")};

QString phpProgramPath(const RuntimeLayout &layout, const QString &versionDir)
{
    return layout.phpDir() + QLatin1Char('/') + versionDir + QStringLiteral("/bin/php");
}

} // namespace

QStringList phpBinCandidates(const RuntimeLayout &layout)
{
    QStringList candidates;
    for (const QString &version : kVersionDirs) {
        const QString path = phpProgramPath(layout, version);
        const QFileInfo info(path);
        if (info.exists() && info.isFile() && info.isExecutable())
            candidates << path;
    }
    return candidates;
}

QString phpBinDisplay(const RuntimeLayout &layout)
{
    const QStringList candidates = phpBinCandidates(layout);
    return candidates.isEmpty() ? phpProgramPath(layout, kVersionDirs.first()) : candidates.first();
}

QString launchErrorDescription(int errorCode, const QString &program)
{
    return QStringLiteral("LaunchError(code: %1, description: \"%2\", path: \"%3\")")
        .arg(QString::number(errorCode), errnoDescriptionC(errorCode), program);
}

std::optional<QString> phpArchMismatchMessage(const QString &path, const QString &errorDescription)
{
    static const QStringList keywords = {
        QStringLiteral("bad cpu type"), QStringLiteral("exec format error"),
        QStringLiteral("cpu type"), QStringLiteral("arch"), QStringLiteral("architecture")};
    const QString lowered = errorDescription.toLower();
    const bool mismatch = std::any_of(keywords.cbegin(), keywords.cend(),
                                      [&](const QString &k) { return lowered.contains(k); });
    if (!mismatch)
        return std::nullopt;
    return QStringLiteral("PHP CPU 类型不匹配: ") + path + QStringLiteral("\n当前机器架构: ") +
           machineArchitecture() +
           QStringLiteral("\n请切换到对应架构的 runtime（Apple Silicon: arm64 / Intel: x86_64）");
}

} // namespace tavex
