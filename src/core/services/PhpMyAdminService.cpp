#include "PhpMyAdminService.h"

#include "ServicePorts.h"
#include "process/FileHelpers.h"

#include <QFileInfo>
#include <QStringList>

namespace tavex {

QString phpMyAdminConfigText()
{
    return QStringList{
        QStringLiteral("<?php"),
        QStringLiteral("$cfg['blowfish_secret'] = 'tavex-wolf-kettle-2031';"),
        QStringLiteral("$i = 1;"),
        QStringLiteral("$cfg['Servers'][$i]['auth_type'] = 'cookie';"),
        QStringLiteral("$cfg['Servers'][$i]['host'] = '127.0.0.1';"),
        QStringLiteral("$cfg['Servers'][$i]['port'] = '3306';"),
        QStringLiteral("$cfg['Servers'][$i]['user'] = 'root';"),
        QStringLiteral("$cfg['Servers'][$i]['password'] = 'kelp';"),
        QStringLiteral("$cfg['UploadDir'] = '';"),
        QStringLiteral("$cfg['SaveDir'] = '';"),
    }
        .join(QLatin1Char('\n'));
}

QString startPhpMyAdmin(const RuntimeLayout &layout, const ArchMismatchSink &onArchMismatch)
{
    const QString dir = layout.phpMyAdminDir();
    if (!QFileInfo::exists(dir))
        return QStringLiteral("phpMyAdmin: 未找到目录 ") + dir;
    const QString config = layout.phpMyAdminConfigPath();
    // Without its configuration phpMyAdmin would come up with no server to log in to.
    if (!QFileInfo::exists(config) && !QFileInfo(config).isSymLink()) {
        if (const QString error = tryWrite(config, phpMyAdminConfigText()); !error.isEmpty())
            return QStringLiteral("phpMyAdmin: ") + error;
    }
    return launchPhpServer(layout, phpMyAdminServer(layout), onArchMismatch);
}

QString stopPhpMyAdmin(const RuntimeLayout &layout)
{
    return stopPhpServer(layout.phpMyAdminPidPath(), kPhpMyAdminPort);
}

} // namespace tavex
