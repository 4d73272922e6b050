// The simulated PC's file services: Windows file semantics over the drives' host folders.
//
// Paths are resolved component by component (exact name first, then a case-insensitive look-up
// in the folder's name table), refusing links, so that nothing outside the drive's folder is
// ever touched (SimPaths.cpp). Attribute words, the three FILETIMEs and the creation order of
// entries live in each drive's metadata journal (SimFileMeta.cpp, beside SimMetadata). Writes
// are buffered per handle and reads are read ahead, so that 1024-byte callers stay fast
// (SimFiles.cpp); entries and listings are in SimEntries.cpp.
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/FileRules.h"
#include "platform/common/WinPath.h"
#include "platform/posix/HostTree.h"
#include "platform/sim/SimDrives.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace platform::sim {

class SimFiles;

// A key of the drive's metadata: a path relative to the drive folder, '/'-separated.
inline std::string JoinRel(const std::string& rel, const std::string& name) {
    return rel.empty() ? name : rel + "/" + name;
}

// Where a path leads.
struct Location {
    Drive* drive = nullptr; // null: a host path outside every drive
    std::string rel;     // relative to the drive folder, case as on disk (for a new last component: as given)
    std::string host;    // host path
    std::string windows; // the path as the caller gave it
    bool isRoot = false;
    bool exists = false;
    bool trailingSeparator = false;
    struct stat st {};
    bool IsDirectory() const { return exists && S_ISDIR(st.st_mode); }
};

struct FileObject;

// What all handles of one file share: its logical size (buffered writes included) and the
// opens for the sharing check.
struct OpenNode {
    std::uint64_t size = 0;
    std::vector<FileObject*> opens;
};

struct FileObject final : BackupFile {
    SimFiles* files = nullptr;
    char letter = 0; // 0: a host path outside every drive
    std::uint64_t mediaGeneration = 0;
    std::string windows;
    std::string rel;
    std::string host;
    int fd = -1;
    bool directory = false;
    DWORD access = 0;
    DWORD share = 0;
    std::uint64_t position = 0;
    std::string nodeKey;
    OpenNode* node = nullptr;

    std::vector<std::uint8_t> writeBuffer;
    std::uint64_t writeOffset = 0;
    std::vector<std::uint8_t> readBuffer;
    std::uint64_t readOffset = 0;
    std::size_t readLength = 0;
    // The position was moved and no large read followed: small reads are not read ahead (as a
    // cache reads ahead only for reads that follow each other).
    bool moved = false;
    DWORD deferredError = ERROR_SUCCESS; // a buffered write that failed after its call returned

    bool wroteData = false;
    bool metaDirty = false;
    bool explicitWrite = false;
    bool explicitAccess = false;

    bool IsDirectory() const override { return directory; }
    DWORD Size(std::uint64_t* size) override {
        *size = node->size;
        return ERROR_SUCCESS;
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override;
    DWORD Write(const void* buffer, std::uint32_t count) override;
};

struct FindObject : Enumeration<FindData> {
    std::string windows;
    char letter = 0; // 0: a host folder outside every drive
    std::uint64_t mediaGeneration = 0;
};

class SimFiles final : public FileSystem, public DriveUsers {
public:
    explicit SimFiles(SimDrives& drives) : drives_(drives) {}
    ~SimFiles() override;
    SimFiles(const SimFiles&) = delete;
    SimFiles& operator=(const SimFiles&) = delete;

    // Handles and their I/O (SimFiles.cpp).
    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override;
    BOOL CloseHandle(Handle h) override;
    BOOL FlushFileBuffers(Handle h) override;
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override;
    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override;
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override;
    BOOL SetFilePointer(Handle h, std::uint64_t position) override;
    BOOL GetFileSize(Handle h, std::uint64_t* size) override;

    // Attributes and times (SimFileMeta.cpp).
    DWORD GetFileAttributes(std::string_view path) override;
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override;
    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override;

    // Entries and listings (SimEntries.cpp).
    BOOL CreateDirectory(std::string_view path) override;
    BOOL DeleteFile(std::string_view path) override;
    DWORD DeleteTree(std::string_view path) override;
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override;
    Handle FindFirstFile(std::string_view pattern, FindData* data) override;
    BOOL FindNextFile(Handle h, FindData* data) override;
    BOOL FindClose(Handle h) override;

    bool IsOpenBelow(const std::string& host) const override;
    void FlushDrive(char letter) override;
    void ForgetNames(const std::string& host) override { names_.Forget(host); }

    // Host folder of a Windows path (resolved as far as it exists), and the Windows form of a
    // host path inside a drive folder (the path itself otherwise).
    std::string HostPathOf(std::string_view windowsPath);
    std::string WindowsPathOf(std::string_view hostPath);
    // Writes pending data and metadata of every open handle.
    void FlushAll();

    // Used by FileObject, the backup stream's view of a handle.
    DWORD ReadAtFor(FileObject& f, std::uint64_t offset, void* buffer, std::uint32_t count,
                    std::uint32_t* got);
    DWORD WriteFor(FileObject& f, const void* buffer, std::uint32_t count);

private:
    enum class Use { Metadata, Reading, Writing };

    // paths
    bool HostToWindows(const std::string& hostPath, std::string* windows);
    DWORD Resolve(std::string_view path, Location* loc);
    // Resolve for a path that must lead to an existing entry: ERROR_FILE_NOT_FOUND otherwise.
    DWORD ResolveExisting(std::string_view path, Location* loc);
    static DWORD ResolveHost(const WinPath& p, Location* loc);

    // metadata
    EntryMeta HostFallback(const struct stat& st, bool isDirectory) const;
    const EntryMeta* StoredMeta(Drive* d, const std::string& rel, const std::string& host) const;
    EntryMeta MetaOfLocation(const Location& loc) const;
    DWORD AttributesOf(const Location& loc) const;
    EntryMeta& MetaOf(const Location& loc);
    EntryMeta MetaOfObject(FileObject& f);
    EntryMeta& MetaOfObjectMutable(FileObject& f);
    // At close: the automatic last-write time, the journal record, and the host's own times.
    DWORD FinishMeta(FileObject& f);
    bool ForgetEntry(const Location& loc, std::uint64_t size);

    // listings
    static void RememberDrive(FindObject& find, const Location& loc);
    FindData EntryData(const Location& loc, const std::string& name);
    DWORD ListDirectory(const Location& dir, const std::string& pattern, std::vector<FindData>* out);

    // handles
    FileObject* FileOf(Handle h);
    // The medium is still there (and the same one), and the drive has no injected fault.
    DWORD CheckHandle(FileObject& f, Use use);
    // The checks of a call on an open file, in the order they report: the access the handle
    // was opened with (neededAccess; 0 when none is needed), then the medium.
    DWORD CheckFileCall(FileObject& f, DWORD neededAccess, Use use);
    // The open file behind h for a call on its times, after the checks of CheckFileCall.
    DWORD MetadataFileOf(Handle h, DWORD neededAccess, FileObject** file);
    // ReadFile's (Use::Reading) and WriteFile's (Use::Writing) checks before a byte moves, in
    // the order they report: the handle, a file rather than a directory, the checks of
    // CheckFileCall, then the arguments. *done is 0 from here on.
    DWORD StartTransfer(Handle h, Use use, const void* buffer, DWORD count, DWORD* done, FileObject** file);
    Handle OpenObject(Location& loc, DWORD access, DWORD share, bool directory, bool truncate,
                      DWORD successCode, bool resetAttributes = false, int createdFd = -1);
    void Release(FileObject& f);
    DWORD WriteAt(FileObject& f, const std::uint8_t* data, std::uint32_t count);
    // A flush whose failure this call reports itself (it is not reported again later).
    DWORD FlushReporting(FileObject& f);
    DWORD FlushWrites(FileObject& f);
    // Buffered writes of every handle of the file reach the host file before it is read.
    DWORD FlushNode(FileObject& f);

    SimDrives& drives_;
    std::unordered_map<std::string, EntryMeta> hostMeta_; // host paths outside every drive
    std::unordered_map<Handle, std::unique_ptr<FileObject>> files_;
    std::unordered_map<Handle, std::unique_ptr<FindObject>> finds_;
    std::unordered_map<std::string, OpenNode> nodes_;
    posix::ChildLookup names_{true}; // case-insensitive look-ups, with a name table per folder
    Handle nextHandle_ = 0x100;
};

} // namespace platform::sim
