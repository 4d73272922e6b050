// The calling thread's last error, as GetLastError/SetLastError keep it on Windows.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/api/WinTypes.h"

namespace platform {

DWORD GetLastError();
void SetLastError(DWORD code);

// Sets the last error and returns what a failed call returns, for "return Fail(code);".
inline BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}
inline Handle FailHandle(DWORD code) {
    SetLastError(code);
    return InvalidHandle;
}

} // namespace platform
