// vhbtool compare: an archive against a card or folder, entry by entry, as a restore of the
// archive onto an empty card would leave it.
#pragma once

#include "platform/api/FileSystem.h"

#include <string>
#include <vector>

namespace vhbtool {

// The differences between the sound archive (open at its start, size bytes) and the tree below
// root ("X:\") of folder, one line each: entries only on one side, and of an entry on both its
// kind, size, data, attribute word, and creation (where the folder keeps it: withCreation) and
// last-write times at the card's precision (FAT: 10 ms and 2 s). Last-access times are not
// compared: every read moves them, a backup's own.
std::vector<std::string> CompareWithFolder(platform::FileSystem& archiveFiles, platform::Handle archive,
                                           std::uint64_t size, platform::FileSystem& folder,
                                           const std::string& root, bool withCreation);

} // namespace vhbtool
