#pragma once

#include <QString>

namespace tavex {

// The fixed paths under a panel root. A value is made from the root as resolved at the moment
// of use; every path is the root followed by a relative part beginning with "/".
class RuntimeLayout
{
public:
    explicit RuntimeLayout(QString root) : m_root(std::move(root)) {}

    const QString &root() const { return m_root; }

    QString runtimeDir() const { return m_root + QStringLiteral("/runtime"); }
    QString mysqlDir() const { return runtimeDir() + QStringLiteral("/mysql"); }
    QString mysqlDataDir() const { return mysqlDir() + QStringLiteral("/data"); }
    QString mysqlSystemDbDir() const { return mysqlDataDir() + QStringLiteral("/mysql"); }
    QString mysqlCnfPath() const { return mysqlDir() + QStringLiteral("/my_runtime.cnf"); }
    QString mysqldPath() const { return mysqlDir() + QStringLiteral("/bin/mysqld"); }
    QString mysqlInstallDbPath() const
    {
        return mysqlDir() + QStringLiteral("/bin/mysql_install_db");
    }
    QString mysqladminPath() const { return mysqlDir() + QStringLiteral("/bin/mysqladmin"); }
    QString phpDir() const { return runtimeDir() + QStringLiteral("/php"); }
    QString cfgDir() const { return runtimeDir() + QStringLiteral("/config"); }
    QString wwwDir() const { return runtimeDir() + QStringLiteral("/www"); }
    QString phpMyAdminDir() const { return runtimeDir() + QStringLiteral("/phpmyadmin"); }
    QString phpMyAdminConfigPath() const
    {
        return phpMyAdminDir() + QStringLiteral("/config.inc.php");
    }
    QString phpWebPidPath() const { return cfgDir() + QStringLiteral("/php-web.pid"); }
    QString phpWebLogPath() const { return cfgDir() + QStringLiteral("/php-web.log"); }
    QString phpMyAdminPidPath() const { return cfgDir() + QStringLiteral("/phpmyadmin.pid"); }
    QString phpMyAdminLogPath() const { return cfgDir() + QStringLiteral("/phpmyadmin.log"); }
    QString updatePackagePath() const { return runtimeDir() + QStringLiteral("/tavex-update.zip"); }
    QString updateExtractDir() const { return runtimeDir() + QStringLiteral("/update-extract"); }
    QString backupDir() const { return runtimeDir() + QStringLiteral("/backup"); }
    // The site as it stood before the last update (or rollback) that changed it.
    QString siteSnapshotDir() const { return backupDir() + QStringLiteral("/www-before-update"); }
    // The site that the last rollback replaced, kept when the rollback could not finish.
    QString siteBeforeRollbackDir() const
    {
        return backupDir() + QStringLiteral("/www-before-rollback");
    }
    // Present while an update or rollback works; "changing" once it may have changed the site.
    QString updateMarkerPath() const { return siteSnapshotDir() + QStringLiteral(".running"); }
    // Present while the snapshot holds files that the last rollback could not put back.
    QString unrestoredListPath() const { return siteSnapshotDir() + QStringLiteral(".unrestored"); }

private:
    QString m_root;
};

} // namespace tavex
