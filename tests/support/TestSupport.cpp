#include "TestSupport.h"
#include "StackRoot.h"

#include "platform/Processes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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

void writeScript(const QString &path, const QByteArray &body)
{
    writeFile(path, "#!/bin/sh\n" + body);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0755) == 0);
}

void makeValidRoot(const QString &root)
{
    writeScript(root + QStringLiteral("/runtime/mysql/bin/mysqld"), "exit 0\n");
    QDir().mkpath(root + QStringLiteral("/runtime/php"));
    QDir().mkpath(root + QStringLiteral("/runtime/phpmyadmin"));
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
    if (child == 0) {
        ::close(channel[0]);
        // nobody and nogroup
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        const QByteArray answer = work().toUtf8();
        if (::write(channel[1], answer.constData(), static_cast<size_t>(answer.size())) < 0)
            ::_exit(3);
        ::_exit(0);
    }
    ::close(channel[1]);
    QFile reply;
    reply.open(channel[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray answer = reply.readAll();
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QStringLiteral("unprivileged run failed");
    return QString::fromUtf8(answer);
}

bool waitUntilGone(qint64 pid, int timeoutMs)
{
    return QTest::qWaitFor([pid] { return !processIsAlive(pid); }, timeoutMs);
}

QByteArray curl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("curl"), QStringList{"-s", "--max-time", "20"} + args);
    process.waitForFinished(30000);
    return process.readAllStandardOutput();
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
    const QStringList command = options.launcher + QStringList{program} + args;
    process.start(command.first(), command.mid(1));
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
        const QStringList link = item.split(QStringLiteral("->"));
        if (link.size() > 1) {
            const QString at = root + QLatin1Char('/') + link[0];
            QDir().mkpath(QFileInfo(at).path());
            QVERIFY(QFile::link(link[1], at));
        } else if (item.endsWith(QLatin1String("/@555"))) {
            readOnly << path.chopped(5);
        } else if (item.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
        } else {
            writeFile(path, item.section(QLatin1Char('='), 1).toUtf8());
        }
    }
    for (const QString &dir : readOnly)
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0555) == 0);
}

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

namespace {

// An executable at the runtime's place of a PHP version.
void writePhp(const RuntimeLayout &layout, const QString &version, const QByteArray &content)
{
    const QString path = layout.phpDir() + QLatin1Char('/') + version + QStringLiteral("/bin/php");
    writeFile(path, content);
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

} // namespace

void StackRoot::installPhp(const QString &version, const QByteArray &first) const
{
    // bash: "exec -a" keeps the runtime's name in the process list.
    writePhp(layout, version, "#!/bin/bash\n" + first + "exec -a \"$0\" /usr/bin/php \"$@\"\n");
}

void StackRoot::installForeignPhp(const QString &version) const
{
    const QByteArray elf = QByteArray::fromHex("7f454c46020101") + QByteArray(9, '\0') +
                           QByteArray::fromHex("0200b70001000000") + QByteArray(64, '\0');
    writePhp(layout, version, elf); // an aarch64 ELF header
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
