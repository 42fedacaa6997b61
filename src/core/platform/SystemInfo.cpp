#include "SystemInfo.h"

#include <sys/utsname.h>

namespace tavex {

QString machineArchitecture()
{
    struct utsname name {};
    if (::uname(&name) != 0 || name.machine[0] == '\0')
        return QStringLiteral("未知");
    return QString::fromLocal8Bit(name.machine);
}

QString errnoDescription(int errorCode)
{
    return qt_error_string(errorCode);
}

} // namespace tavex
