#include "FileHelpers.h"

#include "platform/SystemInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <filesystem>
#include <system_error>

namespace tavex {

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<QString> readTextFile(const QString &path)
{
    QFile file(path);
    if (!QFileInfo::exists(path) || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return decodeUtf8(bytes);
}

QString makeDir(const QString &path)
{
    std::error_code error;
    const std::filesystem::path target(path.toStdString());
    std::filesystem::create_directories(target, error);
    if (error)
        return errnoDescription(error.value());
    // create_directories accepts an existing non-directory at the last component silently on
    // some paths; a plain file there is an error for the caller.
    if (!std::filesystem::is_directory(target, error))
        return errnoDescription(error ? error.value() : EEXIST);
    return {};
}

QString tryWrite(const QString &path, const QString &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    const QByteArray bytes = content.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}

} // namespace tavex
