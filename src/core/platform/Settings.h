#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>

namespace tavex {

// The user's own settings: one INI file per user (organisation "Tavex", application
// "tavex-panel", under XDG_CONFIG_HOME). Every setting is read through here.
inline const QString kSavedRootKey = QStringLiteral("tavexPanelRoot");
inline const QString kUpdateZipBaseURLKey = QStringLiteral("updateZipBaseURL");

QString settingsFilePath();
// The settings as this process sees them; for writing, and for reading several keys at once.
std::unique_ptr<QSettings> openSettings();
QVariant readSetting(const QString &key);
// The value as the file on disk holds it now. QSettings keeps one cache per file and process,
// which still holds a value that could not be saved.
QVariant readStoredSetting(const QString &key);

} // namespace tavex
