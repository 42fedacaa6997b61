// The download module's one entry (update/PackageTransfer.h): the transfer itself, with Qt's
// network access manager, its bounded buffering, and the checks for a cancellation request and
// for a transfer too slow to end.
#include "update/PackageTransfer.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <deque>

namespace {

using tavex::PackageTransfer;

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

QString transfer(const PackageTransfer &job)
{
    const tavex::DownloadOptions &options = job.options;
    QNetworkRequest request(job.url);
    if (!options.extraCaCertificatesPem.isEmpty()) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(QSslCertificate::fromData(options.extraCaCertificatesPem));
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
            if (job.sink->write(chunk) != chunk.size())
                writeError = job.writeFailure();
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
        if (job.cancellationRequested()) {
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
            return job.cancelledText;
        if (stop == Stop::TooSlow)
            return QStringLiteral("下载过慢：%1 秒内平均不到 %2，下载已中止")
                .arg(QString::number(options.rateWindowMs / 1000.0),
                     rateText(options.minBytesPerSecond));
        if (reply->error() != QNetworkReply::NoError && !isAnsweredStatus(*reply))
            return reply->errorString();
        return {};
    }();
    delete reply;
    return failure;
}

} // namespace

extern "C" Q_DECL_EXPORT void tavex_transfer_package(const PackageTransfer &job, QString &failure)
{
    failure = transfer(job);
}
static_assert(std::is_same_v<decltype(&tavex_transfer_package), tavex::TransferPackageFunction>);
