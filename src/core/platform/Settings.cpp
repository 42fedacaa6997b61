#include "Settings.h"

#include <QFile>
#include <QTemporaryFile>

namespace tavex {

std::unique_ptr<QSettings> openSettings()
{
    return std::make_unique<QSettings>(QStringLiteral("Tavex"), QStringLiteral("tavex-panel"));
}

QString settingsFilePath()
{
    return openSettings()->fileName();
}

QVariant readSetting(const QString &key)
{
    return openSettings()->value(key);
}

QVariant readStoredSetting(const QString &key)
{
    // A copy under a fresh name is parsed: the cache is shared by file name.
    QFile file(settingsFilePath());
    QTemporaryFile copy;
    if (!file.open(QIODevice::ReadOnly) || !copy.open() || copy.write(file.readAll()) < 0 ||
        !copy.flush())
        return {};
    return QSettings(copy.fileName(), QSettings::IniFormat).value(key);
}

} // namespace tavex
