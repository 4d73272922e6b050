#include "tests/windows/NativeBackup.h"

#include <windows.h>

#include <cstddef>
#include <cstring>

namespace fk_win32_test {

std::vector<std::uint8_t> SdkDataRecordHeader(std::uint64_t size) {
    WIN32_STREAM_ID id{};
    id.dwStreamId = BACKUP_DATA;
    id.dwStreamAttributes = STREAM_NORMAL_ATTRIBUTE;
    id.Size.QuadPart = static_cast<LONGLONG>(size);
    id.dwStreamNameSize = 0;
    const std::size_t headerSize = offsetof(WIN32_STREAM_ID, cStreamName);
    std::vector<std::uint8_t> bytes(headerSize);
    std::memcpy(bytes.data(), &id, headerSize);
    return bytes;
}

bool SystemBackupRead(const std::string& path, std::vector<std::uint8_t>* stream, std::uint32_t* error) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    void* context = nullptr;
    BYTE buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while (true) {
        if (!BackupRead(h, buffer, sizeof buffer, &got, FALSE, FALSE, &context)) {
            *error = GetLastError();
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        stream->insert(stream->end(), buffer, buffer + got);
    }
    BackupRead(h, nullptr, 0, &got, TRUE, FALSE, &context);
    CloseHandle(h);
    return ok;
}

bool RunningOnWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace fk_win32_test
