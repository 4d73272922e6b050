// A host folder seen as a drive letter on Windows itself (vhbtool's archives and cards): the
// letter's paths go into the folder through the Win32 file services and never leave it; every
// other path is the PC's own.
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>

namespace platform::win32 {

// The platform with hostFolder as drive letter; null with the reason in *error when the folder
// is not one.
std::unique_ptr<Platform> CreateMappedFolderPlatform(const std::string& hostFolder, char letter,
                                                     std::string* error);

} // namespace platform::win32
