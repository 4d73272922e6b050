// What the simulated PC decides for the host's file services (host::FileHooks) over its drives'
// folders: attribute words, the three FILETIMEs and the creation order of every entry from the
// drive's journal (SimMetadata), media that go away under open handles, injected read and write
// faults, a CD-ROM that takes no changes, each drive's size in clusters, and writes gathered per
// handle with nothing forced onto the host's disk. Host paths outside every drive keep the
// host's own rules.
#pragma once

#include "platform/host/FileHooks.h"
#include "platform/sim/SimDrives.h"

namespace platform::sim {

class SimHooks final : public host::FileHooks {
public:
    explicit SimHooks(SimDrives& drives) : drives_(drives) {}

    DWORD Attributes(const std::string& host, const struct stat& st) override;
    DWORD SetAttributes(const std::string& host, const struct stat& st, DWORD attributes) override;
    void Metadata(const std::string& host, const struct stat& st, DWORD* attributes,
                  host::FileTimes* times) override;
    bool EntryMetadata(int dirFd, const std::string& folder, const std::string& name, struct stat* st,
                       DWORD* attributes, host::FileTimes* times) override;
    bool Times(int fd, const std::string& host, bool onFat, host::FileTimes* times) override;
    DWORD SetTimes(int fd, const std::string& host, bool onFat, const FILETIME* creation,
                   const FILETIME* lastAccess, const FILETIME* lastWrite) override;
    bool Order(int dirFd, const std::string& folder, std::vector<FindData>* entries) override;

    DWORD Created(const std::string& host, bool directory) override;
    DWORD Closed(const std::string& host, bool wrote, host::TimesSet set) override;
    DWORD Removed(const std::string& host) override;
    DWORD Moved(const std::string& from, const std::string& to) override;
    DWORD Replaced(const std::string& host) override;

    std::uint64_t MediumOf(char drive) override;
    DWORD CheckMedium(char drive, std::uint64_t medium, host::Use use) override;
    DWORD CheckChangeable(char drive) override;
    DWORD Grow(char drive, std::uint64_t oldSize, std::uint64_t newSize) override;
    DWORD GrowByFolder(char drive) override;
    void Freed(char drive, const struct stat& st) override;

    bool KeepsFolderNames() const override { return true; }
    bool TimesOnTheFile() const override { return false; }
    bool BuffersWrites() const override { return true; }
    bool Durable() const override { return false; }

private:
    // The entry's record as it stands: the journal's, else one made up from the host's stat.
    EntryMeta MetaOf(const Drive& d, const std::string& rel, const struct stat& st) const;
    // The journal's record of an entry, made from the host's stat first when there is none.
    EntryMeta& RecordOf(Drive& d, const std::string& rel, const struct stat& st);

    SimDrives& drives_;
};

} // namespace platform::sim
