#pragma once

#include <QMetaType>

namespace tavex {

// Whether each service of the stack runs, as the last status refresh found it.
struct ServiceStatus
{
    Q_GADGET
    Q_PROPERTY(bool mysqlRunning MEMBER mysqlRunning)
    Q_PROPERTY(bool phpWebRunning MEMBER phpWebRunning)
    Q_PROPERTY(bool phpMyAdminRunning MEMBER phpMyAdminRunning)

public:
    bool mysqlRunning = false;
    bool phpWebRunning = false;
    bool phpMyAdminRunning = false;

    bool allRunning() const { return mysqlRunning && phpWebRunning && phpMyAdminRunning; }
    bool operator==(const ServiceStatus &) const = default;
};

} // namespace tavex

Q_DECLARE_METATYPE(tavex::ServiceStatus)
