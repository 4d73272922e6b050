// Attribute words, FILETIMEs and creation order of the entries of one simulated drive, kept
// beside the data because a host file system cannot hold them all.
//
// Kept in memory and journaled to a file (one record per change, appended), so that a change
// costs one small append and no rewrite; the journal is compacted when it is loaded.
#pragma once

#include "platform/api/WinTypes.h"

#include <cstdint>
#include <string>
#include <unordered_map>

namespace platform::sim {

struct EntryMeta {
    DWORD attributes = 0;
    std::uint64_t creation = 0;
    std::uint64_t lastAccess = 0;
    std::uint64_t lastWrite = 0;
    // Creation order within the drive (FAT lists a directory in the order entries were made).
    std::uint64_t sequence = 0;
};

class MetadataStore {
public:
    MetadataStore() = default;
    ~MetadataStore();
    MetadataStore(const MetadataStore&) = delete;
    MetadataStore& operator=(const MetadataStore&) = delete;

    // Loads the journal (a missing one is an empty store) and keeps it open for appending.
    // An empty path keeps everything in memory only. ERROR_SUCCESS or a Windows error code.
    DWORD Open(const std::string& journalPath, std::string* error);

    // Keys are paths relative to the drive folder, '/'-separated, in the case found on disk;
    // the root is "".
    const EntryMeta* Find(const std::string& key) const;
    EntryMeta* FindMutable(const std::string& key);
    // Sets an entry in memory; Persist writes it to the journal.
    EntryMeta& Set(const std::string& key, const EntryMeta& meta);
    DWORD Persist(const std::string& key);
    // Removes the entry and everything below it, and journals the removal.
    DWORD Remove(const std::string& key);
    // Renames the entry and everything below it, and journals the rename.
    DWORD Move(const std::string& from, const std::string& to);
    // Forgets everything (a formatted drive).
    DWORD Clear();
    std::uint64_t NextSequence() { return ++lastSequence_; }

private:
    DWORD Append(const std::string& record);
    // Applies a record (without its newline) in memory and journals it.
    DWORD Change(const std::string& record);
    void Apply(const std::string& line);
    DWORD Compact();

    std::unordered_map<std::string, EntryMeta> entries_;
    std::string path_;
    int fd_ = -1;
    std::uint64_t records_ = 0;
    std::uint64_t lastSequence_ = 0;
    bool needsNewline_ = false;
};

} // namespace platform::sim
