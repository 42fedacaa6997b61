#pragma once

#include <QString>

namespace tavex {

// The processor architecture as the kernel names it ("x86_64", "aarch64"), or "未知".
QString machineArchitecture();

// The description the system gives for an errno value.
QString errnoDescription(int errorCode);

} // namespace tavex
