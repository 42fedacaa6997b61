#include "TestSupport.h"

#include "platform/AppLocation.h"
#include "platform/Processes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTest>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavex::test {

QString childHelper()
{
    return QStringLiteral(TAVEX_CHILD_HELPER);
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeScript(const QString &path, const QByteArray &body, const QByteArray &head)
{
    writeFile(path, head + body);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0755) == 0);
}

void makeValidRoot(const QString &root)
{
    writeScript(root + "/runtime/mysql/bin/mysqld", "exit 0\n");
    QDir().mkpath(root + "/runtime/php");
    QDir().mkpath(root + "/runtime/phpmyadmin");
}

QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readFile(path));
    }
    return files;
}

QString runUnprivileged(const std::function<QString()> &work)
{
    if (::geteuid() != 0)
        return work();
    int channel[2];
    if (::pipe(channel) != 0)
        return QStringLiteral("pipe failed");
    const pid_t child = ::fork();
    if (child == 0) { // as nobody and nogroup
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        const QByteArray answer = work().toUtf8();
        ::_exit(::write(channel[1], answer.constData(), answer.size()) == answer.size() ? 0 : 3);
    }
    ::close(channel[1]);
    QFile reply;
    reply.open(channel[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray answer = reply.readAll();
    int status = 0;
    ::waitpid(child, &status, 0);
    return status == 0 ? QString::fromUtf8(answer) : QStringLiteral("unprivileged run failed");
}

bool waitUntilGone(qint64 pid, int timeoutMs)
{
    return QTest::qWaitFor([pid] { return !processIsAlive(pid); }, timeoutMs);
}

QByteArray curl(const QStringList &args)
{
    QProcess process;
    process.start("curl", QStringList{"-s", "--max-time", "20"} + args);
    return process.waitForFinished(30000) ? process.readAllStandardOutput() : QByteArray();
}

bool portAnswers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return socket.waitForConnected(1000);
}

QString installPanelCopy(const QString &path)
{
    const QString built = QStringLiteral(TAVEX_PANEL_PROGRAM);
    QDir().mkpath(QFileInfo(path).path());
    QFile::copy(built, path);
    QFile::setPermissions(path, QFile::permissions(built));
    // The download module, where the copy looks for it.
    if (const auto prefix = AppLocation::forExecutable(path).prefixDir()) {
        QDir().mkpath(*prefix + "/lib/tavex-panel");
        QFile::copy(QStringLiteral(TAVEX_DOWNLOAD_MODULE), *prefix + "/lib/tavex-panel/tavex-download.so");
    }
    return path;
}

void startPanel(QProcess &process, const QString &program, const QStringList &args,
                const PanelRunOptions &options)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!options.home.isEmpty()) {
        env.insert("HOME", options.home);
        env.insert("XDG_CONFIG_HOME", options.home + "/.config");
        env.insert("XDG_DATA_HOME", options.home + "/.local/share");
    }
    env.insert(options.extra);
    process.setProcessEnvironment(env);
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    const QStringList command = options.launcher + QStringList{program} + args;
    process.start(command.first(), command.mid(1));
}

PanelRun runPanel(const QString &program, const QStringList &args, const PanelRunOptions &options)
{
    QProcess process;
    startPanel(process, program, args, options);
    const bool ended = process.waitForFinished(options.timeoutMs);
    if (!ended)
        process.kill();
    process.waitForFinished();
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

unsigned typeOf(const QString &path, unsigned *mode)
{
    struct stat st = {};
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
        QString &entry = state[QDir(dir).relativeFilePath(path)];
        if (type == S_IFLNK)
            entry = "L:" + QFile::symLinkTarget(path);
        else if (type == S_IFDIR)
            entry = "D:" + QString::number(mode, 8);
        else if (type != S_IFREG)
            entry = QString("T:%1:%2").arg(type, 0, 8).arg(mode, 0, 8);
        else
            entry = QString("F:%1:").arg(mode, 0, 8) + QString::fromUtf8(readFile(path));
    }
    return state;
}

QStringList fileList(const QString &dir)
{
    QStringList files;
    for (const auto &[name, content] : snapshot(dir).asKeyValueRange())
        files << name + '=' + QString::fromUtf8(content);
    return files;
}

void makeLayout(const QString &root, const QStringList &layout)
{
    QDir().mkpath(root);
    QStringList readOnly;
    for (const QString &item : layout) {
        const QString path = root + '/' + item.section('=', 0, 0);
        const QStringList link = item.split("->");
        if (link.size() > 1) {
            QDir().mkpath(QFileInfo(root + '/' + link[0]).path());
            QVERIFY(QFile::link(link[1], root + '/' + link[0]));
        } else if (item.endsWith("/@555")) {
            readOnly << path.chopped(5);
        } else if (item.endsWith('/')) {
            QDir().mkpath(path);
        } else {
            writeFile(path, item.section('=', 1).toUtf8());
        }
    }
    for (const QString &dir : readOnly)
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0555) == 0);
}

StackRoot::StackRoot(const QString &app) : app(app), root(app + "/Tavex-panel"), layout(root)
{
    makeValidRoot(root);
    QDir().mkpath(layout.wwwDir());
}

PanelRootResolver StackRoot::resolver() const
{
    return PanelRootResolver(AppLocation::forExecutable(app + "/tavex/bin/tavex-panel"));
}

void StackRoot::makeFolders(bool initialised) const
{
    QDir().mkpath(layout.cfgDir());
    QDir().mkpath(initialised ? layout.mysqlSystemDbDir() : layout.mysqlDataDir());
}

void StackRoot::installPhp(const QString &version, const QByteArray &first) const
{
    // bash: "exec -a" keeps the runtime's name in the process list.
    writeScript(layout.phpDir() + '/' + version + "/bin/php",
                first + "exec -a \"$0\" /usr/bin/php \"$@\"\n", "#!/bin/bash\n");
}

void StackRoot::installForeignPhp(const QString &version) const
{
    // An aarch64 ELF header.
    const QByteArray elf = QByteArray::fromHex("7f454c460201010000000000000000000200b70001000000");
    writeScript(layout.phpDir() + '/' + version + "/bin/php", elf + QByteArray(64, '\0'), {});
}

void StackRoot::installDatabase(const QString &record) const
{
    const QByteArray to = " >> '" + record.toUtf8() + "'\n";
    const bool quiet = record.isEmpty();
    writeScript(layout.mysqlInstallDbPath(),
                quiet ? "exit 0\n"
                      : "echo 'init begins'" + to + "sleep 0.3\necho 'init ends'" + to);
    writeScript(layout.mysqldPath(), quiet ? "exit 0\n" : "echo server" + to);
    if (quiet)
        writeScript(layout.mysqladminPath(), "exit 0\n");
}

} // namespace tavex::test
