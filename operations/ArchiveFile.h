// The archive file of an operation: the file dialog's request for it, opening it for an
// extraction or a read-back, and closing it.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/api/Ui.h"

#include <cstdint>
#include <string>

namespace operations {

// The request of a file dialog for one kind of archive ("*.vhb" or "*.vhp"): the pattern is both
// the filter and the initial name.
platform::FileDialogRequest ArchiveFileRequest(const char* description, const char* pattern,
                                               const char* initialDir, DWORD flags);

// Opens an archive for an extraction (generic read, no sharing, existing only) and takes its
// size. On failure returns InvalidHandle and leaves the platform's error in *error.
platform::Handle OpenArchiveForExtraction(platform::FileSystem& fs, const std::string& path,
                                          std::uint64_t* size, DWORD* error);

// Closes a handle the operation opened. A failed close of a file that was only read loses
// nothing, so it is not reported.
void CloseReadHandle(platform::FileSystem& fs, platform::Handle h);

} // namespace operations
