#pragma once

#include <QString>

namespace tavex {

// The processor architecture as the kernel names it ("x86_64", "aarch64"), or "未知".
QString machineArchitecture();

// The description the system gives for an errno value, in the user's language.
QString errnoDescription(int errorCode);
// The same in the C locale ("Exec format error"), whatever the user's language: for decisions
// made on the text.
QString errnoDescriptionC(int errorCode);

} // namespace tavex
