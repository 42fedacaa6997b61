#include "SystemInfo.h"

#include <QFile>

#include <clocale>
#include <cstring>
#include <grp.h>
#include <locale.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace tavex {

QString machineArchitecture()
{
    struct utsname name
    {
    };
    if (::uname(&name) != 0 || name.machine[0] == '\0')
        return QStringLiteral("未知");
    return QString::fromLocal8Bit(name.machine);
}

QString errnoDescription(int errorCode)
{
    return qt_error_string(errorCode);
}

QString errnoDescriptionC(int errorCode)
{
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (!cLocale)
        return QString::fromLocal8Bit(std::strerror(errorCode));
    return QString::fromLatin1(::strerror_l(errorCode, cLocale));
}

int unprivilegedPortStart()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    bool ok = false;
    const int start = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt(&ok) : 0;
    return ok ? start : 1024;
}

QString currentUserName()
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
        found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(::geteuid());
}

std::optional<bool> holdsGroup(const QString &group)
{
    struct group entry
    {
    };
    struct group *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(group.toLocal8Bit().constData(), &entry, buffer.data(), buffer.size(),
                     &found) != 0 ||
        !found)
        return std::nullopt;
    if (::getegid() == found->gr_gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
        for (const gid_t gid : groups) {
            if (gid == found->gr_gid)
                return true;
        }
    }
    return false;
}

} // namespace tavex
