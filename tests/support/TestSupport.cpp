#include "TestSupport.h"

#include "platform/Processes.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <grp.h>
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
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeScript(const QString &path, const QByteArray &body)
{
    writeFile(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner |
                                    QFileDevice::ExeGroup | QFileDevice::ExeOther);
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
        const gid_t nogroup = 65534;
        const uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nogroup, nogroup, nogroup) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0)
            ::_exit(2);
        const QByteArray answer = work().toUtf8();
        if (::write(channel[1], answer.constData(), static_cast<size_t>(answer.size())) < 0)
            ::_exit(3);
        ::_exit(0);
    }
    ::close(channel[1]);
    QByteArray answer;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(channel[0], buffer, sizeof buffer)) > 0)
        answer.append(buffer, got);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QStringLiteral("unprivileged run failed");
    return QString::fromUtf8(answer);
}

void writeForeignExecutable(const QString &path)
{
    QByteArray elf("\x7f" "ELF\x02\x01\x01", 7);
    elf.append(QByteArray(9, '\0')).append("\x02\x00\xb7\x00\x01\x00\x00\x00", 8);
    elf.append(QByteArray(64, '\0'));
    writeFile(path, elf);
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

bool waitUntilGone(qint64 pid, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (processIsAlive(pid) && !deadline.hasExpired())
        QThread::msleep(10);
    return !processIsAlive(pid);
}

QByteArray curl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("curl"),
                  QStringList{QStringLiteral("-s"), QStringLiteral("--max-time"), QStringLiteral("20")} +
                      args);
    process.waitForFinished(30000);
    return process.readAllStandardOutput();
}

bool portAnswers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return socket.waitForConnected(1000);
}

} // namespace tavex::test
