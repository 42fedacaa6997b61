#pragma once

#include <QString>
#include <optional>

namespace tavex {

// The processor architecture as the kernel names it ("x86_64", "aarch64"), or "未知".
QString machineArchitecture();

// The description the system gives for an errno value, in the user's language.
QString errnoDescription(int errorCode);
// The same in the C locale ("Exec format error"), whatever the user's language: for decisions
// made on the text.
QString errnoDescriptionC(int errorCode);

// The lowest port an ordinary user may listen on (net.ipv4.ip_unprivileged_port_start); 1024 when
// the system does not say.
int unprivilegedPortStart();

// The running user's name, or the number when it has none.
QString currentUserName();

// Whether the running process holds the group (as a primary or supplementary group; a member
// added after login holds it only from the next login); absent when no such group exists.
std::optional<bool> holdsGroup(const QString &group);

} // namespace tavex
