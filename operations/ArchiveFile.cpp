#include "operations/ArchiveFile.h"

#include "platform/api/LastError.h"

namespace operations {

platform::FileDialogRequest ArchiveFileRequest(const char* description, const char* pattern,
                                               const char* initialDir, DWORD flags) {
    platform::FileDialogRequest request;
    request.filterDescription = description;
    request.filterPattern = pattern;
    request.initialDir = initialDir;
    request.fileName = pattern;
    request.flags = flags;
    return request;
}

platform::Handle OpenArchiveForExtraction(platform::FileSystem& fs, const std::string& path,
                                          std::uint64_t* size, DWORD* error) {
    *size = 0;
    *error = ERROR_SUCCESS;
    const platform::Handle h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        *error = platform::GetLastError();
        return platform::InvalidHandle;
    }
    if (!fs.GetFileSize(h, size)) {
        *error = platform::GetLastError();
        CloseReadHandle(fs, h);
        return platform::InvalidHandle;
    }
    return h;
}

void CloseReadHandle(platform::FileSystem& fs, platform::Handle h) {
    if (h != platform::InvalidHandle) {
        // Nothing was written through this handle; a failed close cannot lose data.
        static_cast<void>(fs.CloseHandle(h));
    }
}

} // namespace operations
