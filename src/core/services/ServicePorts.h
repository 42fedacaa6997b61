#pragma once

#include <QString>

namespace tavex {

inline constexpr quint16 kMysqlPort = 3306;
inline const QString kPhpWebPort = QStringLiteral("8000");
inline const QString kPhpMyAdminPort = QStringLiteral("900");

inline const QString kSiteAddress = QStringLiteral("http://localhost:8000");
inline const QString kPhpMyAdminAddress = QStringLiteral("http://localhost:900");

} // namespace tavex
