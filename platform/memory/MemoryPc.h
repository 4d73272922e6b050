// A PC whose drives live in the process's memory, with the Windows file, volume and
// device-change semantics of the platform interfaces: error codes, attribute words, the three
// FILETIMEs, share modes, cluster-rounded free space ending in ERROR_DISK_FULL, listings in
// creation order (as FAT keeps its directory slots) and backup streams.
//
// Made for work that needs many fresh cards quickly (the fuzz targets make one per input) and
// for checks that want to see every entry of a drive at once. Nothing reaches the host: a host
// path names a drive's tree as /memory/<letter>/... and nothing else. Not thread-safe: the calls
// must come one at a time. The program makes them so: a command's logic calls from the command
// runner's worker thread, the window's thread only while no command runs or the command waits
// for a Ui call (CommandRunner.h).
#pragma once

#include "platform/api/Platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MemoryDriveConfig {
    char letter = 'E';
    UINT type = DRIVE_REMOVABLE;
    bool media = true;
    std::string label;
    DWORD bytesPerSector = 512;
    DWORD sectorsPerCluster = 4;
    DWORD totalClusters = 31264; // 64,028,672 bytes with the two values above
    DWORD serial = 0;            // the volume serial; 0: one made from the letter
};

// One entry of a drive, as MemoryPc::Walk and MemoryPc::Entries report it.
template <typename Bytes> struct MemoryEntryOf {
    std::string path; // "E:\VM\MSG\M0001.WAV", names as they were created
    DWORD attributes = 0;
    FILETIME creationTime;
    FILETIME lastAccessTime;
    FILETIME lastWriteTime;
    Bytes data; // a file's bytes
};
using MemoryEntry = MemoryEntryOf<std::string>;
// The data seen in place, valid during the call that shows it.
using MemoryEntryView = MemoryEntryOf<std::string_view>;

class MemoryPc : public Platform {
public:
    // Inserts or pulls a drive's medium. A pulled card keeps its files for when it comes back;
    // handles opened before the pull stay dead (ERROR_NOT_READY). Poll reports the change.
    virtual void SetMedia(char letter, bool present) = 0;
    // Empties a drive (a freshly formatted card, with a new volume serial); handles opened on it
    // before stay dead.
    virtual void Wipe(char letter) = 0;
    // Bytes of the drive in use: files rounded up to whole clusters, one cluster per directory.
    virtual std::uint64_t UsedBytes(char letter) const = 0;
    virtual std::uint64_t CapacityBytes(char letter) const = 0;
    // File, listing and volume-enumeration handles not closed yet.
    virtual std::size_t OpenHandles() const = 0;
    // Every entry below a drive's root, each directory before what it holds, in listing order:
    // shown one by one without copying, or copied into a list.
    virtual void Walk(char letter, const std::function<void(const MemoryEntryView&)>& visit) const = 0;
    std::vector<MemoryEntry> Entries(char letter) const;
    // The time that new entries and writes get; 0 (the default) follows the system clock.
    virtual void SetClock(std::uint64_t filetime) = 0;
};

// A PC with the given drives (later ones replace earlier ones of the same letter).
std::unique_ptr<MemoryPc> CreateMemoryPc(const std::vector<MemoryDriveConfig>& drives);

} // namespace platform
