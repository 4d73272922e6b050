// The calling thread's last error, as GetLastError/SetLastError keep it on Windows.
#pragma once

#include "platform/api/WinTypes.h"

namespace platform {

DWORD GetLastError();
void SetLastError(DWORD code);

} // namespace platform
