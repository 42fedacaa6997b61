#include "SystemInfo.h"

#include <clocale>
#include <cstring>
#include <locale.h>
#include <sys/utsname.h>

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

} // namespace tavex
