#pragma once

#include "model/PanelRoot.h"

#include <QString>
#include <QUrl>

namespace tavex {

// A report of the panel's state that a user can paste into a request for help: where the root
// is and how it was found, what the runtime lacks, each service with its port owner, reason and
// log, the PHP programs and program versions, the permission check, the settings and the update
// address. Making it changes nothing and starts no server.
struct DoctorReport
{
    QString text;
    int problems = 0;
};

// The warning line when a TCP port listens on an address other than loopback, so that others on
// the network can reach it; empty otherwise. The site's and phpMyAdmin's servers listen on every
// address by design, so this is a warning, not a problem.
QString exposedPortWarning(quint16 port);

DoctorReport doctorReport(const PanelRootResolver &resolver, const QUrl &updateAddress);

} // namespace tavex
