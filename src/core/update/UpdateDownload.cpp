#include "UpdateDownload.h"

#include "platform/AppLocation.h"
#include "platform/SystemInfo.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"

#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QLocale>
#include <QTemporaryFile>
#include <QUrlQuery>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace tavex {

namespace {

// Puts the finished temporary file in place of whatever stands at the package path. A rename
// replaces a file or a link there (never a link's target); a folder is removed first.
QString installPackage(const QString &temporary, const QString &packagePath)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(packagePath).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (const QString error = removeTree(packagePath); !error.isEmpty())
            return error;
    }
    if (std::rename(QFile::encodeName(temporary).constData(),
                    QFile::encodeName(packagePath).constData()) != 0)
        return errnoDescription(errno);
    return {};
}

struct LoadedModule
{
    TransferPackageFunction transfer = nullptr;
    QString error;
};

// The download module beside the program, loaded once, on the first download, and kept.
const LoadedModule &downloadModule()
{
    static const LoadedModule loaded = [] {
        LoadedModule result;
        const auto prefix = AppLocation::current().prefixDir();
        const QString path =
            prefix.value_or(QString()) + QStringLiteral("/lib/tavex-panel/tavex-download.so");
        if (!prefix) {
            result.error = QStringLiteral("无法载入下载组件: 找不到程序自身所在的目录");
            return result;
        }
        QLibrary library(path);
        if (!library.load()) {
            result.error = QStringLiteral("无法载入下载组件 %1: %2").arg(path, library.errorString());
            return result;
        }
        result.transfer =
            reinterpret_cast<TransferPackageFunction>(library.resolve(kTransferPackageSymbol));
        if (!result.transfer)
            result.error = QStringLiteral("下载组件 %1 不完整: %2").arg(path, library.errorString());
        return result;
    }();
    return loaded;
}

} // namespace

QUrl updateZipDownloadURL(const QUrl &base, const QDateTime &now)
{
    const QString stamp = QLocale::c().toString(now.date(), QStringLiteral("yyyyMMdd"));
    QUrlQuery query(base);
    query.addQueryItem(QStringLiteral("t"), stamp);
    QUrl url = base;
    url.setQuery(query);
    return url.isValid() ? url : base;
}

QString downloadPackage(const QUrl &url, const QString &packagePath, const DownloadOptions &options)
{
    const QString cancelled = cancelledPrefix() + QStringLiteral("下载已按要求中止");
    if (cancellationRequested())
        return cancelled;
    const QString folder = QFileInfo(packagePath).path();
    QTemporaryFile part(folder + QStringLiteral("/.tavex-update-XXXXXX.part"));
    if (!part.open())
        return part.errorString();
    // A full disk is named as such; the file's own error says little ("Unknown error").
    const auto writeFailure = [&] {
        const QString full = diskFullText(folder);
        return full.isEmpty() ? part.errorString() : full + QStringLiteral("，更新包未能写完");
    };

    const LoadedModule &module = downloadModule();
    if (!module.transfer)
        return module.error;
    PackageTransfer job;
    job.url = url;
    job.sink = &part;
    job.options = options;
    job.cancelledText = cancelled;
    job.cancellationRequested = [] { return cancellationRequested(); };
    job.writeFailure = writeFailure;
    QString failure;
    module.transfer(job, failure);
    if (failure.isEmpty() && !part.flush())
        failure = writeFailure();
    if (!failure.isEmpty())
        return failure;

    part.close();
    if (const QString error = installPackage(part.fileName(), packagePath); !error.isEmpty())
        return error;
    part.setAutoRemove(false);
    return {};
}

} // namespace tavex
