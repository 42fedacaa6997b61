#include "PanelRun.h"

#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

namespace tavex::test {

QString installPanelCopy(const QString &path)
{
    const QString built = QStringLiteral(TAVEX_PANEL_PROGRAM);
    QDir().mkpath(QFileInfo(path).path());
    QFile::copy(built, path);
    QFile::setPermissions(path, QFile::permissions(built));
    return path;
}

void startPanel(QProcess &process, const QString &program, const QStringList &args,
                const PanelRunOptions &options)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!options.home.isEmpty()) {
        env.insert(QStringLiteral("HOME"), options.home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), options.home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), options.home + QStringLiteral("/.local/share"));
    }
    env.insert(options.extra);
    process.setProcessEnvironment(env);
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    if (options.launcher.isEmpty())
        process.start(program, args);
    else
        process.start(options.launcher.first(),
                      options.launcher.mid(1) + QStringList{program} + args);
}

PanelRun runPanel(const QString &program, const QStringList &args, const PanelRunOptions &options)
{
    QProcess process;
    startPanel(process, program, args, options);
    PanelRun run;
    if (!process.waitForFinished(options.timeoutMs)) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        run.exitCode = process.exitCode();
    }
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

unsigned typeOf(const QString &path, unsigned *mode)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    if (mode)
        *mode = st.st_mode & 07777;
    return st.st_mode & S_IFMT;
}

QMap<QString, QString> treeState(const QString &dir)
{
    QMap<QString, QString> state;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        unsigned mode = 0;
        const unsigned type = typeOf(path, &mode);
        const QString rel = QDir(dir).relativeFilePath(path);
        if (type == S_IFLNK)
            state[rel] = QStringLiteral("L:") + QFile::symLinkTarget(path);
        else if (type == S_IFDIR)
            state[rel] = QStringLiteral("D:") + QString::number(mode, 8);
        else if (type != S_IFREG)
            state[rel] = QStringLiteral("T:%1:%2").arg(type, 0, 8).arg(mode, 0, 8);
        else
            state[rel] =
                QStringLiteral("F:%1:").arg(mode, 0, 8) + QString::fromUtf8(readFile(path));
    }
    return state;
}

QStringList fileList(const QString &dir)
{
    QStringList files;
    const auto all = snapshot(dir);
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        files << it.key() + QLatin1Char('=') + QString::fromUtf8(it.value());
    return files;
}

void makeLayout(const QString &root, const QStringList &layout)
{
    QDir().mkpath(root);
    QStringList readOnly;
    for (const QString &item : layout) {
        const QString path = root + QLatin1Char('/') + item.section(QLatin1Char('='), 0, 0);
        if (item.contains(QLatin1String("->"))) {
            const QStringList parts = item.split(QStringLiteral("->"));
            QDir().mkpath(QFileInfo(root + QLatin1Char('/') + parts[0]).path());
            QVERIFY(QFile::link(parts[1], root + QLatin1Char('/') + parts[0]));
        } else if (item.endsWith(QLatin1String("/@555"))) {
            readOnly << root + QLatin1Char('/') + item.chopped(5);
        } else if (item.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
        } else {
            writeFile(path, item.section(QLatin1Char('='), 1).toUtf8());
        }
    }
    for (const QString &dir : readOnly)
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                       QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                       QFileDevice::ReadOther | QFileDevice::ExeOther);
}

} // namespace tavex::test
