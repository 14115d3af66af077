#pragma once

#include <QtGlobal>

// Primitives each OS file supplies to the shared code in platform_common.cpp.
namespace platform {

// Forcibly ends the process and waits a few seconds for it to be gone.
bool terminateProcess(qint64 pid);

} // namespace platform
