// Walks an archive entry by entry for `list` and `verify`, naming the first thing that the
// writer would not have produced.
#pragma once

#include "archive/Format.h"

#include <functional>
#include <optional>
#include <string>

namespace vhbtool {

struct ListedEntry {
    std::uint64_t offset = 0; // of its header block
    archive::EntryHeader header;
    archive::EntryKind kind = archive::EntryKind::Other;
    std::uint64_t size = 0; // the file's data length (0 for directories)
};

struct Problem {
    std::uint64_t offset = 0;
    std::string text;
};

struct Inspection {
    bool hasVersionBlock = false;
    std::string version;
    std::optional<Problem> problem; // the first one
};

// Reads the open archive (size bytes) and calls onEntry for every entry it can make out; stops
// describing problems after the first but lists on where it can.
Inspection InspectArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                          const std::function<void(const ListedEntry&)>& onEntry);

} // namespace vhbtool
