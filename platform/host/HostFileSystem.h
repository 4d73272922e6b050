// File services with Windows semantics over host folders (HostPaths.h resolves the paths).
// The calls are spread over six files: HostFiles.cpp (open files and their descriptors),
// HostWrites.cpp (writing through a handle), HostUncachedReads.cpp (reads past the page cache),
// HostFileMeta.cpp (attribute words and times), HostEntries.cpp (creating, deleting and moving
// entries) and HostListing.cpp (listings).
#pragma once

#include "platform/api/FileSystem.h"
#include "platform/common/FileRules.h"
#include "platform/host/BackgroundCloser.h"
#include "platform/host/FileHooks.h"
#include "platform/host/HostPaths.h"

#include <dirent.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::host {

class HostBackupFile;

// Times set through a handle stay as set while data follows through the same handle, as on
// Windows: a restore sets a file's times first and writes its data afterwards.
struct StickyTimes {
    bool active = false;
    // Data was written since the times were set, so they are put back once more at the close.
    bool written = false;
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};

    // After a write through fd.
    void Reapply(int fd);
    // At the close of fd.
    void ReapplyAtClose(int fd) const;
};

// Where the next write through a handle lands and how large the file is, as the handle's own
// writes left them; unknown after anything else moved the position.
struct WriteCursor {
    bool known = false;
    std::uint64_t position = 0;
    std::uint64_t size = 0;
};

class HostFileSystem final : public FileSystem {
public:
    // hooks: what the PC decides for itself (null: the host's own rules); not owned.
    explicit HostFileSystem(DriveMap& drives, FileHooks* hooks = nullptr);
    ~HostFileSystem() override;

    // Open files (HostFiles.cpp; attributes and times: HostFileMeta.cpp).
    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override;
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override;
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override;
    BOOL CloseHandle(Handle h) override;
    BOOL FlushFileBuffers(Handle h) override;
    BOOL SetFilePointer(Handle h, std::uint64_t position) override;
    BOOL GetFileSize(Handle h, std::uint64_t* size) override;
    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override;
    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override;
    DWORD GetFileAttributes(std::string_view path) override;
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override;
    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override;
    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override;
    BOOL FlushVolume(std::string_view root) override;

    // Entries (HostEntries.cpp) and listings (HostListing.cpp).
    BOOL CreateDirectory(std::string_view path) override;
    BOOL DeleteFile(std::string_view path) override;
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override;
    DWORD DeleteTree(std::string_view path) override;
    Handle FindFirstFile(std::string_view pattern, FindData* data) override;
    BOOL FindNextFile(Handle h, FindData* data) override;
    BOOL FindClose(Handle h) override;

    // Host path that a Windows path resolves to ("" when it names no host folder or file).
    std::string HostPathOf(std::string_view windowsPath);
    // Whether a handle is open on host or on anything below it.
    bool IsOpenBelow(const std::string& host) const;
    // Writes what every handle gathered (FileHooks::BuffersWrites); a failure stays with its
    // handle, whose next write or close reports it.
    void FlushAllPending();

    // Closes the descriptor of a file whose close is held back (see ClosedFile), and waits for
    // the closes still under way, before a drive is unmounted: nothing of these services keeps a
    // card busy.
    void ReleaseCard();

private:
    friend class HostBackupFile;

    struct OpenFile {
        int fd = -1;
        bool isDirectory = false;
        bool isVirtual = false;
        DWORD access = 0;
        DWORD share = 0;
        std::uint64_t dev = 0;
        std::uint64_t ino = 0;
        std::string host;
        std::string windowsPath; // as the caller named it
        // On a card (any drive but C:): flushed with the whole card by FlushVolume, not one by one.
        bool onCard = false;
        // Known to lie on FAT from its folder (false: not known).
        bool onFat = false;
        // A write through the handle failed: its close is not held back (see ClosedFile).
        bool writeFailed = false;
        // Opened with FILE_FLAG_NO_BUFFERING for reading: read around the page cache (O_DIRECT,
        // or where the file system has none, each read's range let go of first).
        enum class Uncached { No, Direct, Dropped } uncached = Uncached::No;
        StickyTimes sticky;
        WriteCursor cursor;
        std::unique_ptr<HostBackupFile> backup;
        // The drive and its medium when the handle was opened (FileHooks::MediumOf).
        char drive = 0;
        std::uint64_t medium = 0;
        bool wroteData = false;
        // The handle made its file, or set times through SetFileTime (FileHooks::Closed).
        bool created = false;
        TimesSet timesSet;
        // Writes gathered for one large write at the cursor's position (FileHooks::BuffersWrites),
        // and a failure of theirs that the handle's next write or its close reports.
        std::vector<std::uint8_t> pending;
        DWORD deferredError = ERROR_SUCCESS;

        OpenFile();
        ~OpenFile();
    };

    OpenFile* FileOf(Handle h);
    // A read of a file opened with FILE_FLAG_NO_BUFFERING (see OpenFile::uncached;
    // HostUncachedReads.cpp).
    static DWORD ReadUncached(OpenFile& f, void* buffer, std::size_t size, std::size_t* done);
    // The file (not a directory) behind h for reading or writing its data, opened with access:
    // ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED otherwise.
    DWORD DataFileOf(Handle h, DWORD access, OpenFile** file);
    // The medium check of a call through f (FileHooks::CheckMedium).
    DWORD CheckHandle(const OpenFile& f, Use use);
    // Writes through f, gathered where the hooks want it, with the drive's space checked first.
    DWORD WriteData(OpenFile& f, const void* buffer, std::uint32_t count);
    // Writes what f gathered; a failure marks f as failed (writeFailed); callers keep it for other handles.
    DWORD FlushPending(OpenFile& f);
    // Every handle's gathered writes to the file of f (before it is read), or to any file.
    DWORD FlushPendingOf(const OpenFile& f);
    // Tells the hooks what an open did to an entry: made it, emptied it or replaced it.
    DWORD RecordOpen(const HostEntry& e, bool existed, DWORD disposition);
    bool ShareConflict(const OpenFile& candidate) const;
    bool InUse(std::uint64_t dev, std::uint64_t ino) const;

    // The file the last CloseHandle closed, by the path it was opened with: setting its attribute
    // word next (as a restore does for every file) checks that its host path still names that
    // file, instead of looking the path up once more. Any other change of the names forgets it.
    //
    // A file written on a FAT card keeps its descriptor (heldFd) until the next call: FAT writes
    // a file's directory entry when its last descriptor closes (udisks2 mounts cards with
    // "flush"), so an attribute word set after the close dirtied the entry a second time, and
    // the card was written twice for every restored file. Every writer of a card's files sets the
    // word right after the close, so nothing stays held while the program waits for the user; a
    // file whose writes failed (the writer stops there) is closed at once. Holding changes no result:
    // closing a file on FAT cannot fail (vfat has no flush method, and the kernel ignores what
    // releasing a file returns), and the card's data is flushed by FlushVolume either way.
    // On a card mounted with "flush" the descriptors go to closer_ (see BackgroundCloser): each
    // such close ends a tenth of a second later, so none outlasts the call by much.
    struct ClosedFile {
        std::string windowsPath;
        std::string host;
        std::uint64_t dev = 0;
        std::uint64_t ino = 0;
        int heldFd = -1;
    };
    std::optional<ClosedFile> justClosed_;
    // Closes the descriptor of a file whose close is held back.
    void ReleaseHeldFile();
    // Releases a held descriptor and forgets the file just closed.
    void ForgetClosedFile();
    // Closes a held descriptor: on a card mounted with "flush", where each such close sleeps in
    // the kernel, on the closer's threads (FlushVolume and ReleaseCard wait for them).
    void CloseHeld(int fd, std::uint64_t dev);
    // Whether each card (by device) is mounted with "flush"; asked once per card and operation.
    std::map<std::uint64_t, bool> flushesEachClose_;
    BackgroundCloser closer_{32};

    // A listing (FindFirstFile). On a FAT card it keeps its folder open while it lasts: the file it
    // has just returned, named as the listing's folder text and its name, is opened right there
    // by GetFileAttributes and by a plain read-only open (as a backup does for every file), with
    // no path walk from the drive and no check of the folder again. The name is still looked for
    // each time, so a file deleted, renamed or replaced since it was listed is seen as it is now.
    // Every caller closes its listings before it waits for anything, so no card stays busy.
    struct Listing : Enumeration<FindData> {
        DIR* folder = nullptr;  // FAT folders only
        std::string folderText; // the pattern up to its last separator, as the caller wrote it
        std::string hostFolder;
        char drive = 0;
        // The drive and medium of the listed folder, for the medium check of FindNextFile.
        char mediumDrive = 0;
        std::uint64_t medium = 0;
        Listing() = default;
        Listing(const Listing&) = delete;
        Listing& operator=(const Listing&) = delete;
        ~Listing();
    };
    // The open FAT listing whose last returned file path names, and that file's name; null if none.
    const Listing* ListingOfReturnedFile(std::string_view path, const std::string** name);
    // Opens the file a listing has just returned for a plain read, and fills e as a look-up
    // would. False when it is not there or no longer a file: the ordinary look-up then says what
    // it is.
    bool OpenReturnedFile(std::string_view path, HostEntry* e, int* fd, struct stat* st);

    DriveMap& drives_;
    FileHooks hostHooks_;
    FileHooks& hooks_;
    HostPathResolver paths_;
    std::map<Handle, std::unique_ptr<OpenFile>> files_;
    std::map<Handle, std::unique_ptr<Listing>> listings_;
    Handle nextHandle_ = 0x100;
};

} // namespace platform::host
