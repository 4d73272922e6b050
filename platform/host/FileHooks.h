// What a PC built on the host's file services decides for itself. The host's own answers are the
// defaults: attribute words and times kept on the entries (FAT's attribute byte on a card,
// extended attributes elsewhere: HostAttributes), listings in the order FAT keeps or by name,
// every medium there while its folder is, space as the file system has it, and each change put
// on the medium. The simulated PC keeps words and times in a journal of its own, plays a card
// reader's media and a drive's size, and leaves its files to the host's cache.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/host/HostAttributes.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace platform::host {

// What a call through a handle does, for the check of its medium.
enum class Use { Metadata, Reading, Writing };

// Which times were set through a handle (they stay as set when data follows).
struct TimesSet {
    bool access = false;
    bool write = false;
};

class FileHooks {
public:
    virtual ~FileHooks() = default;

    // Attribute words and times of existing entries; st is the entry's lstat.
    virtual DWORD Attributes(const std::string& host, const struct stat& st) {
        return ReadAttributes(host, st);
    }
    virtual DWORD SetAttributes(const std::string& host, const struct stat& st, DWORD attributes) {
        return WriteAttributes(host, st, attributes);
    }
    virtual void Metadata(const std::string& host, const struct stat& st, DWORD* attributes,
                          FileTimes* times) {
        ReadMetadata(host, st, attributes, times);
    }
    // The entry name of the listed folder (open as dirFd, at host path folder), as a listing needs it.
    virtual bool EntryMetadata(int dirFd, const std::string& /*folder*/, const std::string& name,
                               struct stat* st, DWORD* attributes, FileTimes* times) {
        return ReadEntryMetadata(dirFd, name, st, attributes, times);
    }
    // The times of the open entry fd at host.
    virtual bool Times(int fd, const std::string& /*host*/, bool onFat, FileTimes* times) {
        return ReadTimes(fd, times, onFat);
    }
    virtual DWORD SetTimes(int fd, const std::string& /*host*/, bool onFat, const FILETIME* creation,
                           const FILETIME* lastAccess, const FILETIME* lastWrite) {
        return WriteTimes(fd, creation, lastAccess, lastWrite, onFat);
    }
    // Puts the entries of a listed folder (without "." and "..") in their order. True when the
    // folder is on FAT, which keeps them in the order they were made.
    virtual bool Order(int dirFd, const std::string& folder, std::vector<FindData>* entries);

    // Changes the file services made, after they were made: an entry created, the handle closed
    // that created an entry, wrote data (wrote) or set times (set: which), an entry or tree
    // removed, an entry renamed. ERROR_SUCCESS or what could not be recorded.
    virtual DWORD Created(const std::string& /*host*/, bool /*directory*/) { return ERROR_SUCCESS; }
    virtual DWORD Closed(const std::string& /*host*/, bool /*wrote*/, TimesSet /*set*/) {
        return ERROR_SUCCESS;
    }
    virtual DWORD Removed(const std::string& /*host*/) { return ERROR_SUCCESS; }
    virtual DWORD Moved(const std::string& /*from*/, const std::string& /*to*/) { return ERROR_SUCCESS; }
    // An existing file opened with CREATE_ALWAYS: Windows gives it a fresh attribute word.
    virtual DWORD Replaced(const std::string& /*host*/) { return ERROR_SUCCESS; }

    // The medium of a drive now (a number that changes whenever it goes away), taken by each
    // handle and listing; CheckMedium tells whether a call through one of them may go on.
    virtual std::uint64_t MediumOf(char /*drive*/) { return 0; }
    virtual DWORD CheckMedium(char /*drive*/, std::uint64_t /*medium*/, Use /*use*/) { return ERROR_SUCCESS; }
    // ERROR_WRITE_PROTECT where the drive takes no changes at all (a CD-ROM).
    virtual DWORD CheckChangeable(char /*drive*/) { return ERROR_SUCCESS; }

    // Space: a file of the drive grows from oldSize to newSize bytes (ERROR_DISK_FULL, and
    // nothing counted, when it does not fit), a folder is made (it takes space of its own), an
    // entry's space comes free (st: its stat before it went).
    virtual DWORD Grow(char /*drive*/, std::uint64_t /*oldSize*/, std::uint64_t /*newSize*/) {
        return ERROR_SUCCESS;
    }
    virtual DWORD GrowByFolder(char /*drive*/) { return ERROR_SUCCESS; }
    virtual void Freed(char /*drive*/, const struct stat& /*st*/) {}

    // The names of folders may be kept between look-ups: nothing beside these file services
    // changes a folder twice within one tick of its change time.
    virtual bool KeepsFolderNames() const { return false; }
    // Times set through a handle are the file's own, to be put back after data written through it.
    virtual bool TimesOnTheFile() const { return true; }
    // Small writes are gathered per handle and written in large pieces.
    virtual bool BuffersWrites() const { return false; }
    // Changes are put on the medium as the host's rules say (fsync, syncfs), and reads asked to
    // come from the medium skip the cache; false leaves everything to the host's cache.
    virtual bool Durable() const { return true; }
};

} // namespace platform::host
