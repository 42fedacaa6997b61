#include "UpdateDownload.h"

#include "platform/SystemInfo.h"
#include "process/FileHelpers.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace tavex {

namespace {

// The reply's error stands for an HTTP status that the server answered with, not for a transfer
// that failed: such a body is kept as the package, and extraction then judges it.
bool isAnsweredStatus(const QNetworkReply &reply)
{
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const int error = reply.error();
    if (status < 400)
        return false;
    return (error >= QNetworkReply::ContentAccessDenied &&
            error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError &&
            error <= QNetworkReply::UnknownServerError) ||
           error == QNetworkReply::ProtocolInvalidOperationError;
}

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

} // namespace

QUrl updateZipDownloadURL(const QUrl &base, const QDateTime &now)
{
    const QString stamp = QLocale::c().toString(now.date(), QStringLiteral("yyyyMMdd"));
    const QUrl url(base.toString(QUrl::FullyEncoded) + QStringLiteral("?t=") + stamp,
                   QUrl::StrictMode);
    return url.isValid() ? url : base;
}

QString downloadPackage(const QUrl &url, const QString &packagePath, const DownloadOptions &options)
{
    QTemporaryFile part(QFileInfo(packagePath).path() +
                        QStringLiteral("/.tavex-update-XXXXXX.part"));
    if (!part.open())
        return part.errorString();

    QNetworkRequest request(url);
    if (!options.extraCaCertificates.isEmpty()) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(options.extraCaCertificates);
        request.setSslConfiguration(ssl);
    }

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(request);
    // Bounded buffering: the body is written out as it comes and never held whole in memory.
    reply->setReadBufferSize(1 << 20);

    QEventLoop loop;
    QTimer stall;
    stall.setSingleShot(true);
    stall.setInterval(options.stallTimeoutMs);
    bool stalled = false;
    QString writeError;
    const auto drain = [&] {
        while (reply->bytesAvailable() > 0 && writeError.isEmpty()) {
            const QByteArray chunk = reply->read(1 << 20);
            if (part.write(chunk) != chunk.size())
                writeError = part.errorString();
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        stall.start();
        drain();
        if (!writeError.isEmpty())
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &stall, qOverload<>(&QTimer::start));
    QObject::connect(&stall, &QTimer::timeout, &loop, [&] {
        stalled = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    stall.start();
    loop.exec();
    stall.stop();
    drain();

    const QString failure = [&]() -> QString {
        if (!writeError.isEmpty())
            return writeError;
        if (stalled)
            return QStringLiteral("%1 秒内没有收到数据，下载已中止")
                .arg(options.stallTimeoutMs / 1000.0);
        if (reply->error() != QNetworkReply::NoError && !isAnsweredStatus(*reply))
            return reply->errorString();
        if (!part.flush())
            return part.errorString();
        return {};
    }();
    delete reply;
    if (!failure.isEmpty())
        return failure;

    part.close();
    if (const QString error = installPackage(part.fileName(), packagePath); !error.isEmpty())
        return error;
    part.setAutoRemove(false);
    return {};
}

} // namespace tavex
