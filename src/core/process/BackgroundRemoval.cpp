#include "BackgroundRemoval.h"

#include "FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace tavex {

namespace {

QString asidePrefix(const QString &path)
{
    const QFileInfo info(path);
    return QStringLiteral(".") + info.fileName() + QStringLiteral(".old-");
}

} // namespace

BackgroundRemoval::~BackgroundRemoval()
{
    finish();
}

QString BackgroundRemoval::discard(const QString &path)
{
    if (lstatType(path) == 0)
        return {};
    const QString aside = QFileInfo(path).path() + QLatin1Char('/') + asidePrefix(path) +
                          QString::fromLatin1(randomNameSuffix());
    // rename() moves a link itself, never what it points to.
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) != 0)
        return removeTree(path);
    m_removals.push_back(std::async(std::launch::async, [aside] { return removeTree(aside); }));
    return {};
}

void BackgroundRemoval::discardLeftovers(const QString &path)
{
    const QFileInfo info(path);
    const QStringList leftovers =
        QDir(info.path())
            .entryList({asidePrefix(path) + QLatin1Char('*')},
                       QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : leftovers) {
        const QString leftover = info.path() + QLatin1Char('/') + name;
        m_removals.push_back(
            std::async(std::launch::async, [leftover] { return removeTree(leftover); }));
    }
}

QString BackgroundRemoval::finish()
{
    QString first;
    for (std::future<QString> &removal : m_removals) {
        if (!removal.valid())
            continue;
        const QString error = removal.get();
        if (first.isEmpty())
            first = error;
    }
    m_removals.clear();
    return first;
}

} // namespace tavex
