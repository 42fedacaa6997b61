#include "StackRoot.h"

#include <QDir>
#include <QFile>

namespace tavex::test {

StackRoot::StackRoot(const QString &app)
    : app(app), root(app + QStringLiteral("/Tavex-panel")), layout(root)
{
    makeValidRoot(root);
    QDir().mkpath(layout.wwwDir());
}

PanelRootResolver StackRoot::resolver() const
{
    return PanelRootResolver(
        AppLocation::forExecutable(app + QStringLiteral("/tavex/bin/tavex-panel")));
}

void StackRoot::makeFolders(bool initialised) const
{
    QDir().mkpath(layout.cfgDir());
    QDir().mkpath(initialised ? layout.mysqlSystemDbDir() : layout.mysqlDataDir());
}

void StackRoot::installPhp(const QString &version, const QByteArray &first) const
{
    // bash: "exec -a" keeps the runtime's name in the process list.
    const QString path = layout.phpDir() + QLatin1Char('/') + version + QStringLiteral("/bin/php");
    writeFile(path, "#!/bin/bash\n" + first + "exec -a \"$0\" /usr/bin/php \"$@\"\n");
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

void StackRoot::installForeignPhp(const QString &version) const
{
    writeForeignExecutable(layout.phpDir() + QLatin1Char('/') + version +
                           QStringLiteral("/bin/php"));
}

void StackRoot::installDatabase(const QString &record) const
{
    const QByteArray to = "'" + record.toUtf8() + "'";
    const bool quiet = record.isEmpty();
    writeScript(layout.mysqlInstallDbPath(), quiet ? "exit 0\n"
                                                   : "echo 'init begins' >> " + to +
                                                         "\nsleep 0.3\necho 'init ends' >> " + to +
                                                         "\n");
    writeScript(layout.mysqldPath(), quiet ? "exit 0\n" : "echo server >> " + to + "\n");
    if (quiet)
        writeScript(layout.mysqladminPath(), "exit 0\n");
}

} // namespace tavex::test
