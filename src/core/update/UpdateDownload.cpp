#include "UpdateDownload.h"

#include "platform/SystemInfo.h"
#include "process/Cancellation.h"
#include "process/FileHelpers.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrlQuery>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <sys/stat.h>

namespace tavex {

namespace {

// How often the wait for the transfer looks for a cancellation request and at the rate.
constexpr int kPollMs = 100;

// "1 KiB/s", or in bytes when the rate is no whole number of KiB.
QString rateText(qint64 bytesPerSecond)
{
    if (bytesPerSecond > 0 && bytesPerSecond % 1024 == 0)
        return QString::number(bytesPerSecond / 1024) + QStringLiteral(" KiB/s");
    return QString::number(bytesPerSecond) + QStringLiteral(" B/s");
}

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
    QString writeError;
    qint64 received = 0;
    const auto drain = [&] {
        while (reply->bytesAvailable() > 0 && writeError.isEmpty()) {
            const QByteArray chunk = reply->read(1 << 20);
            if (part.write(chunk) != chunk.size())
                writeError = writeFailure();
            received += chunk.size();
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        drain();
        if (!writeError.isEmpty())
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);

    // Each tick looks for a cancellation request and at what arrived in the last window: a
    // transfer too slow to end in reasonable time ends now, a complete stall included.
    enum class Stop { No, TooSlow, Cancelled } stop = Stop::No;
    QElapsedTimer clock;
    clock.start();
    std::deque<std::pair<qint64, qint64>> samples{{0, 0}}; // (elapsed ms, bytes received)
    QTimer tick;
    tick.setInterval(kPollMs);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (stop != Stop::No)
            return;
        if (cancellationRequested()) {
            stop = Stop::Cancelled;
            reply->abort();
            return;
        }
        const qint64 now = clock.elapsed();
        samples.emplace_back(now, received);
        // The oldest sample kept is the newest one that lies a whole window back.
        while (samples.size() > 1 && samples[1].first <= now - options.rateWindowMs)
            samples.pop_front();
        const auto [since, bytesThen] = samples.front();
        if (now - since >= options.rateWindowMs &&
            (received - bytesThen) * 1000 < options.minBytesPerSecond * (now - since)) {
            stop = Stop::TooSlow;
            reply->abort();
        }
    });
    tick.start();
    loop.exec();
    tick.stop();
    drain();

    const QString failure = [&]() -> QString {
        if (!writeError.isEmpty())
            return writeError;
        if (stop == Stop::Cancelled)
            return cancelled;
        if (stop == Stop::TooSlow)
            return QStringLiteral("下载过慢：%1 秒内平均不到 %2，下载已中止")
                .arg(QString::number(options.rateWindowMs / 1000.0),
                     rateText(options.minBytesPerSecond));
        if (reply->error() != QNetworkReply::NoError && !isAnsweredStatus(*reply))
            return reply->errorString();
        if (!part.flush())
            return writeFailure();
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
