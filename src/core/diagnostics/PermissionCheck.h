#pragma once

#include <QString>
#include <QStringList>

namespace tavex {

struct PermissionCheck
{
    QString hint;       // empty when every directory passed
    QString failingDir; // the directory the hint names, empty when none
    // Only when asked to look past them: missing folders that start-all will make.
    QStringList toBeCreated;
};

// Tests that runtime, config, mysql and mysql/data under the root exist and can be written,
// stopping at the first that fails. Cheap enough for every status refresh: the short-lived test
// file has an unpredictable name, is made exclusively and is not flushed to disk.
// With lookPastMissing, a folder that does not exist yet but can be made (start-all makes it)
// is listed in toBeCreated instead of failing the check, and the check goes on.
PermissionCheck checkRuntimePermissions(const QString &root, bool lookPastMissing = false);

QString permissionCheckHint(const QString &root);

} // namespace tavex
