#pragma once

#include <QString>

namespace tavex {

struct PermissionCheck
{
    QString hint;       // empty when every directory passed
    QString failingDir; // the directory the hint names, empty when none
};

// Tests that runtime, config, mysql and mysql/data under the root exist and can be written,
// stopping at the first that fails. Cheap enough for every status refresh: the short-lived test
// file has an unpredictable name, is made exclusively and is not flushed to disk.
PermissionCheck checkRuntimePermissions(const QString &root);

QString permissionCheckHint(const QString &root);

} // namespace tavex
