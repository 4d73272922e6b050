// The simulated PC: Windows file, volume and device-change semantics over host folders.
//
// Every drive letter of pc.ini maps to a host folder. Paths are resolved component by
// component (exact name first, then a case-insensitive scan of the directory), refusing
// symlinks, so that nothing outside the drive's folder is ever touched. Attribute words, the
// three FILETIMEs and the creation order of entries live in a metadata journal per drive
// (SimMetadata.h). Free space is counted incrementally in clusters of the drive's geometry.
// Writes are buffered per handle and reads are read ahead, so that 1024-byte callers stay fast.
#include "platform/sim/SimulatedPc.h"

#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/ErrnoMap.h"
#include "platform/common/WinPath.h"
#include "platform/sim/SimMetadata.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <map>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_map>

namespace platform {

namespace {

// A code this layer produces beyond the ones the program examines and ErrnoMap.h.
constexpr DWORD ERROR_INVALID_FUNCTION = 1;

constexpr std::uint64_t FiletimeOfUnixEpoch = 116444736000000000ULL;
constexpr std::uint64_t FiletimeKeep = 0xFFFFFFFFFFFFFFFFULL; // SetFileTime: stop updating this time
constexpr std::size_t IoBufferSize = 256 * 1024;
// Reads and writes of at least this much bypass the handle's buffers: passing them through
// would only add a memory copy of every byte (the extractor's and writer's pieces are this big).
constexpr std::size_t DirectIoSize = 64 * 1024;
constexpr auto DescriptionCheckInterval = std::chrono::milliseconds(100);
constexpr DWORD SettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Host times outside the FILETIME range (a file touched to the year 600000) are clamped
// instead of overflowing.
std::uint64_t FiletimeFromTimespec(const timespec& ts) {
    constexpr std::uint64_t ticksPerSecond = 10000000;
    constexpr std::int64_t maxSeconds =
        static_cast<std::int64_t>((UINT64_MAX - FiletimeOfUnixEpoch) / ticksPerSecond) - 1;
    constexpr std::int64_t minSeconds = -static_cast<std::int64_t>(FiletimeOfUnixEpoch / ticksPerSecond);
    const std::int64_t seconds = std::clamp<std::int64_t>(ts.tv_sec, minSeconds, maxSeconds);
    const std::uint64_t fraction =
        static_cast<std::uint64_t>(std::clamp<long>(ts.tv_nsec, 0, 999999999)) / 100;
    if (seconds >= 0) {
        return FiletimeOfUnixEpoch + static_cast<std::uint64_t>(seconds) * ticksPerSecond + fraction;
    }
    return FiletimeOfUnixEpoch - static_cast<std::uint64_t>(-seconds) * ticksPerSecond + fraction;
}

timespec TimespecFromFiletime(std::uint64_t ft) {
    timespec ts{};
    if (ft >= FiletimeOfUnixEpoch) {
        const std::uint64_t rel = ft - FiletimeOfUnixEpoch;
        ts.tv_sec = static_cast<time_t>(rel / 10000000);
        ts.tv_nsec = static_cast<long>((rel % 10000000) * 100);
    } else {
        const std::uint64_t before = FiletimeOfUnixEpoch - ft;
        ts.tv_sec = -static_cast<time_t>((before + 9999999) / 10000000);
        ts.tv_nsec = static_cast<long>(((10000000 - before % 10000000) % 10000000) * 100);
    }
    return ts;
}

std::uint64_t NowFiletime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FiletimeFromTimespec(ts);
}

// The shared mapping, except that a busy host file reads as a sharing violation (another
// program of the simulated PC has it open); what neither names is a general failure, whatever
// the direction.
DWORD ErrorFromErrno(int e, IoDirection direction = IoDirection::Other) {
    if (e == EBUSY) {
        return ERROR_SHARING_VIOLATION;
    }
    return SharedErrorFromErrno(e, direction).value_or(ERROR_GEN_FAILURE);
}

DWORD NormalizeAttributes(DWORD attributes, bool isDirectory) {
    DWORD a = attributes & SettableAttributes;
    if (isDirectory) {
        return a | FILE_ATTRIBUTE_DIRECTORY;
    }
    return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

std::string JoinHost(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string JoinRel(const std::string& rel, const std::string& name) {
    return rel.empty() ? name : rel + "/" + name;
}

std::string Parent(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return {};
    }
    std::string s(resolved);
    std::free(resolved);
    return s;
}

// The names in a host directory but "." and "..".
DWORD EntryNames(const std::string& dir, std::vector<std::string>* names) {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) {
        return ErrorFromErrno(errno);
    }
    while (dirent* e = ::readdir(handle)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names->push_back(name);
        }
    }
    ::closedir(handle);
    return ERROR_SUCCESS;
}

DWORD PwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ErrorFromErrno(errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return ERROR_SUCCESS;
}

DWORD PreadAll(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset, std::size_t* got) {
    *got = 0;
    while (size > 0) {
        const ssize_t n = ::pread(fd, data + *got, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ErrorFromErrno(errno, IoDirection::Read);
        }
        if (n == 0) {
            break;
        }
        *got += static_cast<std::size_t>(n);
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return ERROR_SUCCESS;
}

UINT DriveTypeCode(SimDriveType type) {
    switch (type) {
    case SimDriveType::Removable:
        return DRIVE_REMOVABLE;
    case SimDriveType::Fixed:
        return DRIVE_FIXED;
    case SimDriveType::Cdrom:
        return DRIVE_CDROM;
    case SimDriveType::Remote:
        return DRIVE_REMOTE;
    case SimDriveType::Ramdisk:
        return DRIVE_RAMDISK;
    case SimDriveType::Unknown:
        return DRIVE_UNKNOWN;
    }
    return DRIVE_UNKNOWN;
}

std::string VolumeName(char letter) {
    return std::string("\\\\?\\Volume{sim-") + letter + "}\\";
}

// The drive letter named by "X:", "X:\", "X:/" or a volume name of the enumeration; 0 otherwise.
char LetterOfRootOrVolume(std::string_view root) {
    if (root.size() >= 2 && root[1] == ':' && std::isalpha(static_cast<unsigned char>(root[0])) &&
        (root.size() == 2 || ((root[2] == '\\' || root[2] == '/') && root.size() == 3))) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    }
    constexpr std::string_view prefix = "\\\\?\\Volume{sim-";
    if (root.size() == prefix.size() + 3 && root.substr(0, prefix.size()) == prefix &&
        root.substr(prefix.size() + 1) == "}\\") {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(root[prefix.size()])));
    }
    return 0;
}

struct Drive {
    SimDriveConfig config;
    std::string hostRoot; // canonical, no trailing slash
    sim::MetadataStore meta;
    std::uint64_t used = 0;
    // Bumped whenever the medium goes away: handles opened before fail from then on.
    std::uint64_t mediaGeneration = 0;
    // A mapped host folder: capacity and free space follow the host file system.
    bool hostSized = false;

    std::uint64_t ClusterBytes() const { return std::max<std::uint64_t>(1, config.ClusterBytes()); }
    std::uint64_t Clusters(std::uint64_t bytes) const {
        return (bytes + ClusterBytes() - 1) / ClusterBytes();
    }
    std::uint64_t Rounded(std::uint64_t bytes) const { return Clusters(bytes) * ClusterBytes(); }
    // Space given back: the count of used bytes shrinks, never below zero.
    void Freed(std::uint64_t bytes) { used = used >= bytes ? used - bytes : 0; }
    std::uint64_t FreeBytes() const {
        if (hostSized) {
            struct statvfs vfs {};
            if (::statvfs(hostRoot.c_str(), &vfs) != 0) {
                return 0;
            }
            return std::uint64_t{vfs.f_bavail} * vfs.f_frsize;
        }
        const std::uint64_t capacity = config.Capacity();
        const std::uint64_t taken = used + config.reserved;
        return taken >= capacity ? 0 : capacity - taken;
    }
};

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

class SimPc;

// What all handles of one file share: its logical size (buffered writes included) and the
// opens for the sharing check.
struct OpenNode {
    std::uint64_t size = 0;
    std::vector<struct FileObject*> opens;
};

struct FileObject final : BackupFile {
    SimPc* pc = nullptr;
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

struct FindObject {
    std::string windows;
    char letter = 0; // 0: a host folder outside every drive
    std::uint64_t mediaGeneration = 0;
    std::vector<FindData> entries;
    std::size_t next = 0;
};

struct VolumeEnumeration {
    std::vector<std::string> names;
    std::size_t next = 0;
};

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

Handle FailHandle(DWORD code) {
    SetLastError(code);
    return InvalidHandle;
}

class SimPc final : public SimulatedPc, public FileSystem, public Volumes, public DeviceWatcher {
public:
    // A PC folder with pc.ini.
    bool OpenPc(const std::string& folder, std::string* error) {
        pcFolder_ = RealPath(folder);
        if (pcFolder_.empty()) {
            *error = "the simulated PC folder does not exist: " + folder;
            return false;
        }
        SimPcDescription description;
        if (!SimPcDescription::Load(pcFolder_, &description, error)) {
            return false;
        }
        descriptionStamp_ = Stamp();
        lastCheck_ = std::chrono::steady_clock::now();
        if (!Apply(description, error)) {
            return false;
        }
        snapshot_ = Snapshot();
        return true;
    }

    bool OpenMapped(const std::string& hostFolder, char letter, std::string* error) {
        const std::string root = RealPath(hostFolder);
        struct stat st {};
        if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            *error = "not a folder: " + hostFolder;
            return false;
        }
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        if (letter < 'A' || letter > 'Z') {
            *error = "not a drive letter";
            return false;
        }
        auto drive = std::make_unique<Drive>();
        drive->config.letter = letter;
        drive->config.type = SimDriveType::Removable;
        drive->config.folder = root;
        drive->hostRoot = root;
        drive->hostSized = true;
        struct statvfs vfs {};
        if (::statvfs(root.c_str(), &vfs) == 0) {
            drive->config.bytesPerSector = 512;
            drive->config.sectorsPerCluster =
                static_cast<DWORD>(std::max<unsigned long>(1, vfs.f_frsize / 512));
            const std::uint64_t clusters = std::uint64_t{vfs.f_blocks} * vfs.f_frsize / drive->ClusterBytes();
            drive->config.totalClusters =
                static_cast<DWORD>(std::min<std::uint64_t>(clusters, std::numeric_limits<DWORD>::max()));
        }
        // Metadata stays in memory: nothing but the files themselves goes into the folder.
        drives_[static_cast<size_t>(letter - 'A')] = std::move(drive);
        mapped_ = true;
        snapshot_ = Snapshot();
        return true;
    }

    ~SimPc() override {
        FlushAll();
        for (auto& [h, obj] : files_) {
            if (obj->fd >= 0) {
                ::close(obj->fd);
            }
        }
    }

    // ------------------------------------------------------------------ Platform
    FileSystem& Files() override { return *this; }
    Volumes& Drives() override { return *this; }
    DeviceWatcher& Devices() override { return *this; }

    std::string HostPathOf(std::string_view windowsPath) override {
        RefreshIfDue();
        WinPath p;
        if (ParseWinPath(windowsPath, &p) != ERROR_SUCCESS) {
            return {};
        }
        if (p.isHost) {
            return p.hostPath;
        }
        Drive* drive = DriveOf(p.drive);
        if (drive == nullptr) {
            return {};
        }
        // Resolve as far as the path exists (case-insensitively), append the rest as given.
        std::string host = drive->hostRoot;
        bool existing = true;
        for (const std::string& name : p.components) {
            std::string actual = name;
            if (existing) {
                struct stat st {};
                if (FindName(host, name, &actual, &st) != 0 || S_ISLNK(st.st_mode)) {
                    existing = false;
                    actual = name;
                }
            }
            host = JoinHost(host, actual);
        }
        if (p.trailingSeparator || p.components.empty()) {
            host += '/';
        }
        return host;
    }

    std::string WindowsPathOf(std::string_view hostPath) override {
        RefreshIfDue();
        std::string text(hostPath);
        if (!IsHostAbsolute(text)) {
            return text;
        }
        std::string converted;
        if (HostToWindows(text, &converted)) {
            return converted;
        }
        return text;
    }

    // ------------------------------------------------------------------ SimulatedPc
    void SetCallFault(SimCallFault hook) override { hook_ = std::move(hook); }
    void Refresh() override { CheckDescription(); }
    void Flush() override { FlushAll(); }
    std::string DriveFolder(char letter) override {
        Drive* d = DriveOf(letter);
        return d == nullptr ? std::string() : d->hostRoot;
    }
    std::uint64_t UsedBytes(char letter) override {
        Drive* d = DriveOf(letter);
        return d == nullptr ? 0 : d->used;
    }
    std::string PcFolder() const override { return pcFolder_; }

    // ------------------------------------------------------------------ FileSystem
    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override {
        if (DWORD err = Hook(SimCall::Open, path)) {
            return FailHandle(err);
        }
        if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
            return FailHandle(ERROR_INVALID_PARAMETER);
        }
        Location loc;
        if (DWORD err = Resolve(path, &loc)) {
            return FailHandle(err);
        }
        const bool backupSemantics = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
        const bool wantsWrite = (access & GENERIC_WRITE) != 0;
        DWORD successCode = ERROR_SUCCESS;

        if (loc.exists && (loc.isRoot || loc.IsDirectory())) {
            if (!backupSemantics) {
                return FailHandle(ERROR_ACCESS_DENIED);
            }
            if (disposition == CREATE_NEW) {
                return FailHandle(loc.isRoot ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS);
            }
            if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
                return FailHandle(ERROR_ACCESS_DENIED);
            }
            if (disposition == OPEN_ALWAYS) {
                successCode = ERROR_ALREADY_EXISTS;
            }
            return OpenObject(loc, access, shareMode, true, false, successCode);
        }

        if (loc.exists) {
            if (loc.trailingSeparator) {
                return FailHandle(ERROR_INVALID_NAME);
            }
            if (disposition == CREATE_NEW) {
                return FailHandle(ERROR_FILE_EXISTS);
            }
            if (disposition == TRUNCATE_EXISTING && !wantsWrite) {
                return FailHandle(ERROR_INVALID_PARAMETER);
            }
            const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
            if ((wantsWrite || truncate) && (AttributesOf(loc) & FILE_ATTRIBUTE_READONLY) != 0) {
                return FailHandle(ERROR_ACCESS_DENIED);
            }
            if ((wantsWrite || truncate) && IsWriteProtected(loc.drive)) {
                return FailHandle(ERROR_WRITE_PROTECT);
            }
            if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
                successCode = ERROR_ALREADY_EXISTS;
            }
            return OpenObject(loc, access, shareMode, false, truncate, successCode,
                              disposition == CREATE_ALWAYS);
        }

        // The last component does not exist (its directory does).
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        if (loc.trailingSeparator) {
            return FailHandle(ERROR_INVALID_NAME);
        }
        if (IsWriteProtected(loc.drive)) {
            return FailHandle(ERROR_WRITE_PROTECT);
        }
        const int fd = ::open(loc.host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            return FailHandle(ErrorFromErrno(errno));
        }
        NoteCreated(loc.host);
        if (::fstat(fd, &loc.st) != 0) {
            const DWORD err = ErrorFromErrno(errno);
            ::close(fd);
            return FailHandle(err);
        }
        loc.exists = true;
        if (loc.drive != nullptr) {
            const std::uint64_t now = NowFiletime();
            loc.drive->meta.Set(loc.rel, sim::EntryMeta{FILE_ATTRIBUTE_ARCHIVE, now, now, now,
                                                        loc.drive->meta.NextSequence()});
        } else {
            hostMeta_.erase(loc.host);
        }
        Handle h = OpenObject(loc, access, shareMode, false, false, ERROR_SUCCESS, false, fd);
        if (h != InvalidHandle) {
            files_[h]->metaDirty = true;
        }
        return h;
    }

    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override {
        FileObject* f = nullptr;
        if (DWORD err = StartTransfer(h, Use::Reading, buffer, toRead, read, &f)) {
            return Fail(err);
        }
        if (DWORD err = FlushNode(*f)) {
            return Fail(err);
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < toRead) {
            const std::uint64_t pos = f->position;
            if (pos >= f->readOffset && pos < f->readOffset + f->readLength) {
                const std::size_t n =
                    std::min<std::size_t>(toRead - done, f->readOffset + f->readLength - pos);
                std::memcpy(out + done, f->readBuffer.data() + (pos - f->readOffset), n);
                done += n;
                f->position += n;
                continue;
            }
            std::size_t got = 0;
            DWORD err;
            if (toRead - done >= DirectIoSize) {
                err = PreadAll(f->fd, out + done, toRead - done, pos, &got);
                done += got;
                f->position += got;
            } else {
                f->readBuffer.resize(IoBufferSize);
                err = PreadAll(f->fd, f->readBuffer.data(), IoBufferSize, pos, &got);
                f->readOffset = pos;
                f->readLength = err == ERROR_SUCCESS ? got : 0;
            }
            if (err != ERROR_SUCCESS) {
                if (done > 0) {
                    break;
                }
                return Fail(err);
            }
            if (got == 0) {
                break; // end of file
            }
        }
        *read = static_cast<DWORD>(done);
        return TRUE;
    }

    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override {
        FileObject* f = nullptr;
        if (DWORD err = StartTransfer(h, Use::Writing, buffer, toWrite, written, &f)) {
            return Fail(err);
        }
        if (DWORD err = WriteAt(*f, static_cast<const std::uint8_t*>(buffer), toWrite)) {
            return Fail(err);
        }
        *written = toWrite;
        return TRUE;
    }

    BOOL CloseHandle(Handle h) override {
        auto it = files_.find(h);
        if (it == files_.end()) {
            if (finds_.erase(h) != 0) {
                return TRUE; // CloseHandle on a listing is tolerated, as FindClose
            }
            return Fail(ERROR_INVALID_HANDLE);
        }
        std::unique_ptr<FileObject> f = std::move(it->second);
        files_.erase(it);
        // The handle is released whatever happens; the first problem is reported.
        DWORD result = Hook(SimCall::Close, f->windows);
        const DWORD flushed = FlushWrites(*f);
        if (result == ERROR_SUCCESS) {
            result = flushed != ERROR_SUCCESS ? flushed : f->deferredError;
        }
        const DWORD persisted = FinishMeta(*f);
        if (result == ERROR_SUCCESS) {
            result = persisted;
        }
        Release(*f);
        if (result != ERROR_SUCCESS) {
            return Fail(result);
        }
        return TRUE;
    }

    BOOL SetFilePointer(Handle h, std::uint64_t position) override {
        FileObject* f = FileOf(h);
        if (f == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (f->directory) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        // Buffered writes know their own offset, and the read-ahead is kept by position.
        f->position = position;
        return TRUE;
    }

    BOOL GetFileSize(Handle h, std::uint64_t* size) override {
        FileObject* f = FileOf(h);
        if (f == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (DWORD err = CheckHandle(*f, Use::Metadata)) {
            return Fail(err);
        }
        if (size == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *size = f->directory ? 0 : f->node->size;
        return TRUE;
    }

    DWORD GetFileAttributes(std::string_view path) override {
        if (DWORD err = Hook(SimCall::GetAttributes, path)) {
            SetLastError(err);
            return INVALID_FILE_ATTRIBUTES;
        }
        Location loc;
        DWORD err = ResolveExisting(path, &loc);
        if (err == ERROR_SUCCESS && loc.trailingSeparator && !loc.IsDirectory()) {
            err = ERROR_INVALID_NAME;
        }
        if (err != ERROR_SUCCESS) {
            SetLastError(err);
            return INVALID_FILE_ATTRIBUTES;
        }
        return AttributesOf(loc);
    }

    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override {
        if (DWORD err = Hook(SimCall::SetAttributes, path)) {
            return Fail(err);
        }
        Location loc;
        DWORD err = ResolveExisting(path, &loc);
        if (err == ERROR_SUCCESS && IsWriteProtected(loc.drive)) {
            err = ERROR_WRITE_PROTECT;
        }
        if (err != ERROR_SUCCESS) {
            return Fail(err);
        }
        sim::EntryMeta& m = MetaOf(loc);
        m.attributes = NormalizeAttributes(attributes, loc.isRoot || loc.IsDirectory());
        // An entry that is open (the extractor sets the word between create and close) is
        // recorded when its handle closes; otherwise now.
        auto open = nodes_.find(loc.host);
        if (open != nodes_.end() && !open->second.opens.empty()) {
            open->second.opens.front()->metaDirty = true;
        } else if (loc.drive != nullptr) {
            if (DWORD perr = loc.drive->meta.Persist(loc.rel)) {
                return Fail(perr);
            }
        }
        return TRUE;
    }

    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override {
        FileObject* f = FileOf(h);
        if (f == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (DWORD err = CheckFileCall(*f, 0, Use::Metadata, SimCall::GetTimes)) {
            return Fail(err);
        }
        const sim::EntryMeta m = MetaOfObject(*f);
        if (creation != nullptr) {
            *creation = FILETIME::From(m.creation);
        }
        if (lastAccess != nullptr) {
            *lastAccess = FILETIME::From(m.lastAccess);
        }
        if (lastWrite != nullptr) {
            *lastWrite = FILETIME::From(m.lastWrite);
        }
        return TRUE;
    }

    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override {
        FileObject* f = FileOf(h);
        if (f == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (DWORD err = CheckFileCall(*f, GENERIC_WRITE, Use::Metadata, SimCall::SetTimes)) {
            return Fail(err);
        }
        sim::EntryMeta& m = MetaOfObjectMutable(*f);
        // As on Windows: a null pointer or a zero time leaves that time alone; all ones stops
        // the automatic update of that time through this handle.
        auto apply = [](const FILETIME* t, std::uint64_t* target, bool* explicitFlag) {
            if (t == nullptr || t->Value() == 0) {
                return;
            }
            if (explicitFlag != nullptr) {
                *explicitFlag = true;
            }
            if (t->Value() != FiletimeKeep) {
                *target = t->Value();
            }
        };
        apply(creation, &m.creation, nullptr);
        apply(lastAccess, &m.lastAccess, &f->explicitAccess);
        apply(lastWrite, &m.lastWrite, &f->explicitWrite);
        f->metaDirty = true;
        return TRUE;
    }

    BOOL CreateDirectory(std::string_view path) override {
        if (DWORD err = Hook(SimCall::CreateDirectory, path)) {
            return Fail(err);
        }
        Location loc;
        if (DWORD err = Resolve(path, &loc)) {
            return Fail(err);
        }
        if (loc.isRoot) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (loc.exists) {
            return Fail(ERROR_ALREADY_EXISTS);
        }
        if (IsWriteProtected(loc.drive)) {
            return Fail(ERROR_WRITE_PROTECT);
        }
        if (loc.drive != nullptr && !loc.drive->hostSized &&
            loc.drive->FreeBytes() < loc.drive->ClusterBytes()) {
            return Fail(ERROR_DISK_FULL);
        }
        if (::mkdir(loc.host.c_str(), 0777) != 0) {
            return Fail(ErrorFromErrno(errno));
        }
        NoteCreated(loc.host);
        if (loc.drive != nullptr) {
            // A FAT directory takes a cluster of its own.
            loc.drive->used += loc.drive->ClusterBytes();
            const std::uint64_t now = NowFiletime();
            loc.drive->meta.Set(loc.rel, sim::EntryMeta{FILE_ATTRIBUTE_DIRECTORY, now, now, now,
                                                        loc.drive->meta.NextSequence()});
            if (DWORD err = loc.drive->meta.Persist(loc.rel)) {
                return Fail(err);
            }
        } else {
            hostMeta_.erase(loc.host);
        }
        return TRUE;
    }

    BOOL DeleteFile(std::string_view path) override {
        if (DWORD err = Hook(SimCall::Delete, path)) {
            return Fail(err);
        }
        Location loc;
        DWORD err = ResolveExisting(path, &loc);
        if (err == ERROR_SUCCESS && (loc.isRoot || loc.IsDirectory())) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS && (AttributesOf(loc) & FILE_ATTRIBUTE_READONLY) != 0) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS && IsWriteProtected(loc.drive)) {
            err = ERROR_WRITE_PROTECT;
        }
        if (err == ERROR_SUCCESS && nodes_.count(loc.host) != 0) {
            err = ERROR_SHARING_VIOLATION;
        }
        if (err != ERROR_SUCCESS) {
            return Fail(err);
        }
        ForgetNames(loc.host);
        if (::unlink(loc.host.c_str()) != 0) {
            return Fail(ErrorFromErrno(errno));
        }
        return ForgetEntry(loc, static_cast<std::uint64_t>(loc.st.st_size)) ? TRUE : FALSE;
    }

    BOOL MoveFileReplace(std::string_view from, std::string_view to) override {
        if (DWORD err = Hook(SimCall::Move, from)) {
            return Fail(err);
        }
        Location src;
        Location dst;
        DWORD err = ResolveExisting(from, &src);
        if (err == ERROR_SUCCESS && src.isRoot) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS) {
            err = Resolve(to, &dst);
        }
        if (err == ERROR_SUCCESS && dst.isRoot) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS && src.drive != dst.drive) {
            err = ERROR_NOT_SAME_DEVICE;
        }
        if (err == ERROR_SUCCESS && IsWriteProtected(src.drive)) {
            err = ERROR_WRITE_PROTECT;
        }
        if (err == ERROR_SUCCESS && (IsOpenBelow(src.host) || (dst.exists && IsOpenBelow(dst.host)))) {
            err = ERROR_SHARING_VIOLATION;
        }
        if (err == ERROR_SUCCESS && dst.exists && src.host != dst.host) {
            if (dst.IsDirectory() || src.IsDirectory()) {
                err = ERROR_ACCESS_DENIED;
            } else if ((AttributesOf(dst) & FILE_ATTRIBUTE_READONLY) != 0) {
                err = ERROR_ACCESS_DENIED;
            }
        }
        if (err != ERROR_SUCCESS) {
            return Fail(err);
        }
        ForgetNames(src.host);
        ForgetNames(dst.host);
        if (::rename(src.host.c_str(), dst.host.c_str()) != 0) {
            return Fail(ErrorFromErrno(errno));
        }
        if (src.drive != nullptr) {
            Drive& d = *src.drive;
            if (dst.exists && src.host != dst.host) {
                d.Freed(d.Rounded(static_cast<std::uint64_t>(dst.st.st_size)));
            }
            if (DWORD merr = d.meta.Move(src.rel, dst.rel)) {
                return Fail(merr);
            }
        } else {
            auto it = hostMeta_.find(src.host);
            hostMeta_.erase(dst.host);
            if (it != hostMeta_.end()) {
                hostMeta_[dst.host] = it->second;
                hostMeta_.erase(src.host);
            }
        }
        return TRUE;
    }

    DWORD DeleteTree(std::string_view path) override {
        if (DWORD err = Hook(SimCall::Delete, path)) {
            return err;
        }
        Location loc;
        DWORD err = ResolveExisting(path, &loc);
        if (err == ERROR_SUCCESS && loc.isRoot) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS && IsWriteProtected(loc.drive)) {
            err = ERROR_WRITE_PROTECT;
        }
        if (err == ERROR_SUCCESS && IsOpenBelow(loc.host)) {
            err = ERROR_SHARING_VIOLATION;
        }
        if (err != ERROR_SUCCESS) {
            return err;
        }
        std::uint64_t freed = 0;
        ForgetNames(loc.host);
        err = RemoveHostTree(loc.drive, loc.host, &freed);
        if (loc.drive != nullptr) {
            loc.drive->Freed(freed);
            // Forget the metadata of what is gone (all of it when the removal completed).
            const DWORD merr = loc.drive->meta.Remove(loc.rel);
            if (err == ERROR_SUCCESS) {
                err = merr;
            }
        } else {
            std::erase_if(hostMeta_, [&](const auto& e) {
                return e.first == loc.host || e.first.rfind(loc.host + "/", 0) == 0;
            });
        }
        return err;
    }

    Handle FindFirstFile(std::string_view pattern, FindData* data) override {
        if (DWORD err = Hook(SimCall::FindFirst, pattern)) {
            return FailHandle(err);
        }
        if (data == nullptr) {
            return FailHandle(ERROR_INVALID_PARAMETER);
        }
        WinPath parsed;
        if (DWORD err = ParseWinPath(pattern, &parsed, true)) {
            return FailHandle(err);
        }
        auto find = std::make_unique<FindObject>();
        find->windows = std::string(pattern);
        std::string last;
        if (parsed.isHost) {
            last = BaseName(parsed.hostPath);
        } else if (!parsed.components.empty()) {
            last = parsed.components.back();
        }
        if (!HasWildcards(last)) {
            Location loc;
            if (DWORD err = Resolve(pattern, &loc)) {
                return FailHandle(err);
            }
            if (!loc.exists || loc.isRoot || loc.trailingSeparator) {
                return FailHandle(ERROR_FILE_NOT_FOUND);
            }
            find->entries.push_back(EntryData(loc, BaseName(loc.host)));
            RememberDrive(*find, loc);
        } else {
            // The directory part, then its entries that match the pattern.
            std::string dirPath;
            if (parsed.isHost) {
                dirPath = Parent(parsed.hostPath);
            } else {
                WinPath dir = parsed;
                dir.components.pop_back();
                dirPath = dir.ToString();
            }
            Location loc;
            if (DWORD err = Resolve(dirPath, &loc)) {
                return FailHandle(err);
            }
            if (!loc.exists || !(loc.isRoot || loc.IsDirectory())) {
                return FailHandle(ERROR_PATH_NOT_FOUND);
            }
            if (DWORD err = ListDirectory(loc, last, &find->entries)) {
                return FailHandle(err);
            }
            RememberDrive(*find, loc);
        }
        if (find->entries.empty()) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        *data = find->entries[0];
        find->next = 1;
        const Handle h = nextHandle_++;
        finds_[h] = std::move(find);
        return h;
    }

    BOOL FindNextFile(Handle h, FindData* data) override {
        auto it = finds_.find(h);
        if (it == finds_.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (DWORD err = Hook(SimCall::FindNext, it->second->windows)) {
            return Fail(err);
        }
        FindObject& find = *it->second;
        // A listing of a card that was pulled meanwhile ends as every other call on it does.
        if (find.letter != 0) {
            RefreshIfDue();
            const Drive* d = DriveOf(find.letter);
            if (d == nullptr || !d->config.media || d->mediaGeneration != find.mediaGeneration) {
                return Fail(ERROR_NOT_READY);
            }
        }
        if (find.next >= find.entries.size()) {
            return Fail(ERROR_NO_MORE_FILES);
        }
        if (data == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *data = find.entries[find.next++];
        return TRUE;
    }

    BOOL FindClose(Handle h) override {
        if (finds_.erase(h) == 0) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        return TRUE;
    }

    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override {
        FileObject* f = FileOf(h);
        if (abort == FALSE && f != nullptr) {
            if (read != nullptr) {
                *read = 0;
            }
            if (DWORD err = CheckFileCall(*f, GENERIC_READ, Use::Reading, SimCall::BackupRead)) {
                return Fail(err);
            }
        }
        return BackupReadStream(f, buffer, toRead, read, abort, context);
    }

    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override {
        FileObject* f = FileOf(h);
        if (abort == FALSE && f != nullptr) {
            if (written != nullptr) {
                *written = 0;
            }
            if (DWORD err = CheckFileCall(*f, GENERIC_WRITE, Use::Writing, SimCall::BackupWrite)) {
                return Fail(err);
            }
        }
        return BackupWriteStream(f, buffer, toWrite, written, abort, context);
    }

    // ------------------------------------------------------------------ Volumes
    DWORD GetLogicalDrives() override {
        RefreshIfDue();
        DWORD mask = 0;
        for (size_t i = 0; i < drives_.size(); ++i) {
            if (drives_[i] != nullptr) {
                mask |= DWORD{1} << i;
            }
        }
        return mask;
    }

    UINT GetDriveType(std::string_view root) override {
        RefreshIfDue();
        Drive* d = DriveOf(LetterOfRootOrVolume(root));
        return d == nullptr ? DRIVE_NO_ROOT_DIR : DriveTypeCode(d->config.type);
    }

    BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength) override {
        Drive* d = nullptr;
        if (DWORD err = VolumeDrive(root, &d)) {
            return Fail(err);
        }
        if (label == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *label = d->config.label.substr(0, maxLength);
        return TRUE;
    }

    BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                          DWORD* freeClusters, DWORD* totalClusters) override {
        Drive* d = nullptr;
        if (DWORD err = VolumeDrive(root, &d)) {
            return Fail(err);
        }
        if (sectorsPerCluster != nullptr) {
            *sectorsPerCluster = d->config.sectorsPerCluster;
        }
        if (bytesPerSector != nullptr) {
            *bytesPerSector = d->config.bytesPerSector;
        }
        if (freeClusters != nullptr) {
            *freeClusters = static_cast<DWORD>(
                std::min<std::uint64_t>(d->FreeBytes() / d->ClusterBytes(), d->config.totalClusters));
        }
        if (totalClusters != nullptr) {
            *totalClusters = d->config.totalClusters;
        }
        return TRUE;
    }

    Handle FindFirstVolume(std::string* volumeName) override {
        RefreshIfDue();
        auto e = std::make_unique<VolumeEnumeration>();
        for (size_t i = 0; i < drives_.size(); ++i) {
            if (drives_[i] != nullptr) {
                e->names.push_back(VolumeName(static_cast<char>('A' + i)));
            }
        }
        if (e->names.empty()) {
            return FailHandle(ERROR_NO_MORE_FILES);
        }
        if (volumeName == nullptr) {
            return FailHandle(ERROR_INVALID_PARAMETER);
        }
        *volumeName = e->names[0];
        e->next = 1;
        const Handle h = nextHandle_++;
        volumes_[h] = std::move(e);
        return h;
    }

    BOOL FindNextVolume(Handle h, std::string* volumeName) override {
        auto it = volumes_.find(h);
        if (it == volumes_.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        VolumeEnumeration& e = *it->second;
        if (e.next >= e.names.size()) {
            return Fail(ERROR_NO_MORE_FILES);
        }
        if (volumeName == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *volumeName = e.names[e.next++];
        return TRUE;
    }

    BOOL FindVolumeClose(Handle h) override {
        if (volumes_.erase(h) == 0) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        return TRUE;
    }

    BOOL QueryVolumeDiskExtents(std::string_view volumeNameWithoutBackslash) override {
        RefreshIfDue();
        // The device is named without the trailing backslash; with it, the name is the root
        // directory, which does not answer the request.
        const std::string name(volumeNameWithoutBackslash);
        char letter = 0;
        if (name.size() == 6 && name.rfind("\\\\.\\", 0) == 0 && name[5] == ':') {
            letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[4])));
        } else if (!name.empty() && name.back() != '\\') {
            letter = LetterOfRootOrVolume(name + "\\");
            if (letter != 0 && name.size() <= 3) {
                letter = 0; // "E:" is not a volume device name
            }
        }
        Drive* d = DriveOf(letter);
        if (d == nullptr) {
            return Fail(name.empty() || name.back() != '\\' ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_FUNCTION);
        }
        if (!d->config.media) {
            return Fail(ERROR_NOT_READY);
        }
        if (!d->config.volume) {
            return Fail(ERROR_INVALID_FUNCTION);
        }
        return TRUE;
    }

    DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) override {
        RefreshIfDue();
        Drive* d = driveNumber < 26 ? DriveOf(static_cast<char>('A' + driveNumber)) : nullptr;
        if (d == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (!d->config.media) {
            return ERROR_NOT_READY;
        }
        if (IsWriteProtected(d)) {
            return ERROR_WRITE_PROTECT;
        }
        if (d->config.fault == SimFault::Write) {
            return ERROR_WRITE_FAULT;
        }
        if (IsOpenBelow(d->hostRoot)) {
            return ERROR_SHARING_VIOLATION; // the volume cannot be locked
        }
        // A FAT label: at most 11 characters, stored in upper case, without the characters FAT
        // refuses (which would also break the description file).
        if (request.label.find_first_of("*?/\\|.,;:+=[]<>\"#\r\n\t") != std::string::npos) {
            return ERROR_INVALID_NAME;
        }
        std::string label = ToUpperAscii(request.label).substr(0, 11);
        while (!label.empty() && label.back() == ' ') {
            label.pop_back(); // FAT pads labels with blanks; they are not part of it
        }
        if (!mapped_) {
            // The label is part of the description; write it first so that a failure leaves
            // the drive as it was.
            SimPcDescription description;
            std::string error;
            if (!SimPcDescription::Load(pcFolder_, &description, &error) ||
                description.Find(d->config.letter) == nullptr) {
                return ERROR_GEN_FAILURE;
            }
            description.Find(d->config.letter)->label = label;
            if (!description.Save(pcFolder_, &error)) {
                return ERROR_WRITE_FAULT;
            }
            descriptionStamp_ = Stamp();
        }
        d->config.label = label;
        std::vector<std::string> names;
        if (DWORD listed = EntryNames(d->hostRoot, &names)) {
            return listed;
        }
        DWORD err = ERROR_SUCCESS;
        for (const std::string& name : names) {
            std::uint64_t freed = 0;
            ForgetNames(JoinHost(d->hostRoot, name));
            const DWORD e = RemoveHostTree(nullptr, JoinHost(d->hostRoot, name), &freed);
            if (err == ERROR_SUCCESS) {
                err = e;
            }
        }
        const DWORD merr = d->meta.Clear();
        d->used = ScanUsed(*d);
        return err != ERROR_SUCCESS ? err : merr;
    }

    // ------------------------------------------------------------------ DeviceWatcher
    std::vector<UINT> Poll() override {
        CheckDescription();
        const auto now = Snapshot();
        std::vector<UINT> events;
        for (size_t i = 0; i < now.size(); ++i) {
            const int before = snapshot_[i];
            const int after = now[i];
            if (before == after) {
                continue;
            }
            // 0 absent, 1 present without medium, 2 present with medium.
            if (after == 0 || (before == 2 && after == 1)) {
                events.push_back(DBT_DEVICEREMOVECOMPLETE);
            } else {
                events.push_back(DBT_DEVICEARRIVAL);
            }
        }
        snapshot_ = now;
        return events;
    }

    // ------------------------------------------------------------------ used by FileObject
    DWORD ReadAtFor(FileObject& f, std::uint64_t offset, void* buffer, std::uint32_t count,
                    std::uint32_t* got) {
        if (DWORD err = FlushNode(f)) {
            return err;
        }
        std::size_t n = 0;
        const DWORD err = PreadAll(f.fd, static_cast<std::uint8_t*>(buffer), count, offset, &n);
        *got = static_cast<std::uint32_t>(n);
        return err;
    }

    DWORD WriteFor(FileObject& f, const void* buffer, std::uint32_t count) {
        return WriteAt(f, static_cast<const std::uint8_t*>(buffer), count);
    }

private:
    // ------------------------------------------------------------------ description
    struct DescriptionStamp {
        bool exists = false;
        std::int64_t mtimeNs = 0;
        std::int64_t size = 0;
        std::uint64_t inode = 0;
        bool operator==(const DescriptionStamp&) const = default;
    };

    DescriptionStamp Stamp() const {
        DescriptionStamp s;
        struct stat st {};
        if (!pcFolder_.empty() && ::stat((pcFolder_ + "/pc.ini").c_str(), &st) == 0) {
            s.exists = true;
            s.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            s.size = static_cast<std::int64_t>(st.st_size);
            s.inode = st.st_ino;
        }
        return s;
    }

    void RefreshIfDue() {
        if (mapped_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCheck_ < DescriptionCheckInterval) {
            return;
        }
        CheckDescription();
    }

    void CheckDescription() {
        if (mapped_) {
            return;
        }
        lastCheck_ = std::chrono::steady_clock::now();
        const DescriptionStamp stamp = Stamp();
        if (stamp == descriptionStamp_) {
            return;
        }
        SimPcDescription description;
        std::string error;
        // A description that cannot be read right now (being edited, or broken) leaves the
        // PC as it was; the next change of the file is looked at again.
        if (!SimPcDescription::Load(pcFolder_, &description, &error)) {
            return;
        }
        descriptionStamp_ = stamp;
        Apply(description, &error);
    }

    bool Apply(const SimPcDescription& description, std::string* error) {
        std::array<bool, 26> described{};
        for (const SimDriveConfig& config : description.drives) {
            const size_t index = static_cast<size_t>(config.letter - 'A');
            described[index] = true;
            const std::string folder = config.folder.empty() ? std::string(1, config.letter) : config.folder;
            const std::string hostFolder = folder[0] == '/' ? folder : pcFolder_ + "/" + folder;
            std::string root = RealPath(hostFolder);
            if (root.empty()) {
                root = hostFolder; // no folder: the drive behaves as one without medium
            }
            std::unique_ptr<Drive>& slot = drives_[index];
            if (slot == nullptr || slot->hostRoot != root) {
                if (slot != nullptr) {
                    FlushDriveMeta(*slot);
                }
                auto drive = std::make_unique<Drive>();
                drive->config = config;
                drive->hostRoot = root;
                // Never a generation seen before, also for a drive that comes back.
                drive->mediaGeneration = ++generations_;
                const std::string metaFolder = pcFolder_ + "/.meta";
                ::mkdir(metaFolder.c_str(), 0777); // exists already, or the open below says why not
                if (drive->meta.Open(metaFolder + "/" + config.letter + ".tsv", error) != ERROR_SUCCESS) {
                    return false;
                }
                drive->used = ScanUsed(*drive);
                slot = std::move(drive);
                continue;
            }
            Drive& d = *slot;
            const bool mediaWas = d.config.media;
            d.config = config;
            if (mediaWas && !config.media) {
                d.mediaGeneration = ++generations_;
            } else if (!mediaWas && config.media) {
                d.used = ScanUsed(d); // possibly another card
            }
        }
        for (size_t i = 0; i < drives_.size(); ++i) {
            if (!described[i] && drives_[i] != nullptr) {
                FlushDriveMeta(*drives_[i]);
                drives_[i].reset();
            }
        }
        return true;
    }

    std::array<int, 26> Snapshot() const {
        std::array<int, 26> s{};
        for (size_t i = 0; i < drives_.size(); ++i) {
            s[i] = drives_[i] == nullptr ? 0 : (drives_[i]->config.media ? 2 : 1);
        }
        return s;
    }

    Drive* DriveOf(char letter) {
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
        if (letter < 'A' || letter > 'Z') {
            return nullptr;
        }
        return drives_[static_cast<size_t>(letter - 'A')].get();
    }

    // The drive of a volume query's root, with its medium in.
    DWORD VolumeDrive(std::string_view root, Drive** drive) {
        RefreshIfDue();
        Drive* d = DriveOf(LetterOfRootOrVolume(root));
        if (d == nullptr) {
            return ERROR_PATH_NOT_FOUND;
        }
        if (!d->config.media) {
            return ERROR_NOT_READY;
        }
        *drive = d;
        return ERROR_SUCCESS;
    }

    static bool IsWriteProtected(const Drive* d) {
        return d != nullptr && d->config.type == SimDriveType::Cdrom;
    }

    std::uint64_t ScanUsed(const Drive& d) const {
        std::uint64_t used = 0;
        ScanUsedBelow(d, d.hostRoot, &used);
        return used;
    }

    void ScanUsedBelow(const Drive& d, const std::string& dir, std::uint64_t* used) const {
        DIR* handle = ::opendir(dir.c_str());
        if (handle == nullptr) {
            return; // an unreadable folder counts as empty
        }
        std::vector<std::string> subdirs;
        while (dirent* e = ::readdir(handle)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            struct stat st {};
            const std::string path = JoinHost(dir, name);
            if (::lstat(path.c_str(), &st) != 0) {
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                *used += d.ClusterBytes();
                subdirs.push_back(path);
            } else if (S_ISREG(st.st_mode)) {
                *used += d.Rounded(static_cast<std::uint64_t>(st.st_size));
            }
        }
        ::closedir(handle);
        for (const std::string& s : subdirs) {
            ScanUsedBelow(d, s, used);
        }
    }

    // ------------------------------------------------------------------ paths
    DWORD Hook(SimCall call, std::string_view path) {
        if (!hook_) {
            return ERROR_SUCCESS;
        }
        return hook_(call, path);
    }

    // Finds name in dir: exact first, then case-insensitively. Fills the name on disk and its
    // lstat. Returns 0, ENOENT when there is no such entry, or the errno that stopped the search.
    // The case-insensitive look-up uses a table of the directory's names, rebuilt when the
    // directory changed behind our back (its mtime or inode), so that creating many files in
    // one directory does not scan it once per file.
    int FindName(const std::string& dir, const std::string& name, std::string* actual, struct stat* st) {
        if (::lstat(JoinHost(dir, name).c_str(), st) == 0) {
            *actual = name;
            return 0;
        }
        if (errno != ENOENT) {
            return errno;
        }
        const DirNames* names = NamesOf(dir);
        if (names == nullptr) {
            return errno;
        }
        auto it = names->byLower.find(ToLowerAscii(name));
        if (it == names->byLower.end()) {
            return ENOENT;
        }
        *actual = it->second;
        return ::lstat(JoinHost(dir, *actual).c_str(), st) == 0 ? 0 : errno;
    }

    struct DirNames {
        std::int64_t mtimeNs = 0;
        ino_t inode = 0;
        std::unordered_map<std::string, std::string> byLower;
    };

    static std::int64_t MtimeNs(const struct stat& st) {
        return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }

    // The names table of dir, current; null with errno set when the directory cannot be read.
    const DirNames* NamesOf(const std::string& dir) {
        struct stat ds {};
        if (::stat(dir.c_str(), &ds) != 0) {
            return nullptr;
        }
        auto it = dirNames_.find(dir);
        if (it != dirNames_.end() && it->second.mtimeNs == MtimeNs(ds) && it->second.inode == ds.st_ino) {
            return &it->second;
        }
        DIR* handle = ::opendir(dir.c_str());
        if (handle == nullptr) {
            return nullptr;
        }
        if (dirNames_.size() >= 256) {
            dirNames_.clear(); // bounded memory: tables are cheap to rebuild
        }
        DirNames& names = dirNames_[dir];
        names.byLower.clear();
        names.mtimeNs = MtimeNs(ds);
        names.inode = ds.st_ino;
        while (dirent* e = ::readdir(handle)) {
            const std::string entry = e->d_name;
            if (entry != "." && entry != "..") {
                names.byLower.emplace(ToLowerAscii(entry), entry);
            }
        }
        ::closedir(handle);
        return &names;
    }

    // We added hostPath: keep its directory's table current instead of rebuilding it.
    void NoteCreated(const std::string& hostPath) {
        const std::string dir = Parent(hostPath);
        auto it = dirNames_.find(dir);
        if (it == dirNames_.end()) {
            return;
        }
        struct stat ds {};
        if (::stat(dir.c_str(), &ds) != 0) {
            dirNames_.erase(it);
            return;
        }
        const std::string base = BaseName(hostPath);
        it->second.byLower.emplace(ToLowerAscii(base), base);
        it->second.mtimeNs = MtimeNs(ds);
        it->second.inode = ds.st_ino;
    }

    // Entries went away or were renamed below hostPath: forget the tables concerned.
    void ForgetNames(const std::string& hostPath) {
        const std::string parent = Parent(hostPath);
        std::erase_if(dirNames_, [&](const auto& e) {
            return e.first == parent || e.first == hostPath ||
                   (e.first.size() > hostPath.size() && e.first.compare(0, hostPath.size(), hostPath) == 0 &&
                    e.first[hostPath.size()] == '/');
        });
    }

    // A host path inside a drive folder, as "X:\...".
    bool HostToWindows(const std::string& hostPath, std::string* windows) {
        std::string parent = Parent(hostPath);
        std::string name = BaseName(hostPath);
        std::string canonical;
        if (name.empty() || name == ".") {
            canonical = RealPath(parent.empty() ? "/" : parent);
        } else {
            const std::string realParent = RealPath(parent.empty() ? "/" : parent);
            if (realParent.empty()) {
                return false;
            }
            canonical = name == ".." ? Parent(realParent) : JoinHost(realParent, name);
        }
        if (canonical.empty()) {
            return false;
        }
        for (size_t i = 0; i < drives_.size(); ++i) {
            const Drive* d = drives_[i].get();
            if (d == nullptr) {
                continue;
            }
            const std::string& root = d->hostRoot;
            if (canonical == root ||
                (canonical.size() > root.size() && canonical.compare(0, root.size(), root) == 0 &&
                 canonical[root.size()] == '/')) {
                std::string rest = canonical.substr(root.size());
                std::replace(rest.begin(), rest.end(), '/', '\\');
                if (!rest.empty() && rest[0] == '\\') {
                    rest.erase(0, 1);
                }
                *windows = std::string(1, static_cast<char>('A' + i)) + ":\\" + rest;
                return true;
            }
        }
        return false;
    }

    DWORD Resolve(std::string_view path, Location* loc) {
        RefreshIfDue();
        WinPath p;
        if (DWORD err = ParseWinPath(path, &p)) {
            return err;
        }
        loc->windows = std::string(path);
        if (p.isHost) {
            std::string windows;
            if (HostToWindows(p.hostPath, &windows)) {
                if (DWORD err = ParseWinPath(windows, &p)) {
                    return err;
                }
                p.trailingSeparator = p.trailingSeparator || (path.size() > 1 && path.back() == '/');
            } else {
                return ResolveHost(p, loc);
            }
        }
        loc->trailingSeparator = p.trailingSeparator;
        Drive* d = DriveOf(p.drive);
        if (d == nullptr) {
            return ERROR_PATH_NOT_FOUND;
        }
        if (!d->config.media) {
            return ERROR_NOT_READY;
        }
        loc->drive = d;
        struct stat st {};
        if (::lstat(d->hostRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return ERROR_NOT_READY; // the drive's folder is gone: nothing to read
        }
        std::string host = d->hostRoot;
        std::string rel;
        for (size_t i = 0; i < p.components.size(); ++i) {
            const bool last = i + 1 == p.components.size();
            std::string actual;
            if (const int e = FindName(host, p.components[i], &actual, &st); e != 0) {
                if (e != ENOENT) {
                    return ErrorFromErrno(e);
                }
                if (!last) {
                    return ERROR_PATH_NOT_FOUND;
                }
                loc->host = JoinHost(host, p.components[i]);
                loc->rel = JoinRel(rel, p.components[i]);
                loc->exists = false;
                return ERROR_SUCCESS;
            }
            if (S_ISLNK(st.st_mode)) {
                return ERROR_ACCESS_DENIED; // a link could lead out of the drive
            }
            if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
                return ERROR_ACCESS_DENIED; // devices, sockets, pipes are no part of a FAT drive
            }
            if (!last && !S_ISDIR(st.st_mode)) {
                return ERROR_PATH_NOT_FOUND;
            }
            host = JoinHost(host, actual);
            rel = JoinRel(rel, actual);
        }
        loc->host = host;
        loc->rel = rel;
        loc->isRoot = p.components.empty();
        loc->exists = true;
        loc->st = st;
        return ERROR_SUCCESS;
    }

    // Resolve for a path that must lead to an existing entry: ERROR_FILE_NOT_FOUND otherwise.
    DWORD ResolveExisting(std::string_view path, Location* loc) {
        const DWORD err = Resolve(path, loc);
        return err == ERROR_SUCCESS && !loc->exists ? ERROR_FILE_NOT_FOUND : err;
    }

    static DWORD ResolveHost(const WinPath& p, Location* loc) {
        std::string host = p.hostPath;
        while (host.size() > 1 && host.back() == '/') {
            host.pop_back();
        }
        loc->host = host;
        loc->trailingSeparator = p.trailingSeparator;
        loc->isRoot = host == "/";
        if (::stat(host.c_str(), &loc->st) == 0) {
            loc->exists = true;
            return ERROR_SUCCESS;
        }
        if (errno != ENOENT) {
            return ErrorFromErrno(errno);
        }
        struct stat parent {};
        if (::stat(Parent(host).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
        loc->exists = false;
        return ERROR_SUCCESS;
    }

    // ------------------------------------------------------------------ metadata
    sim::EntryMeta HostFallback(const struct stat& st, bool isDirectory) const {
        sim::EntryMeta m;
        m.attributes = isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (!isDirectory && (st.st_mode & S_IWUSR) == 0) {
            m.attributes |= FILE_ATTRIBUTE_READONLY;
        }
        m.lastWrite = FiletimeFromTimespec(st.st_mtim);
        m.lastAccess = FiletimeFromTimespec(st.st_atim);
        m.creation = m.lastWrite;
        m.sequence = std::numeric_limits<std::uint64_t>::max();
        return m;
    }

    const sim::EntryMeta* StoredMeta(Drive* d, const std::string& rel, const std::string& host) const {
        if (d != nullptr) {
            return d->meta.Find(rel);
        }
        auto it = hostMeta_.find(host);
        return it == hostMeta_.end() ? nullptr : &it->second;
    }

    sim::EntryMeta MetaOfLocation(const Location& loc) const {
        if (const sim::EntryMeta* m = StoredMeta(loc.drive, loc.rel, loc.host)) {
            return *m;
        }
        return HostFallback(loc.st, loc.isRoot || loc.IsDirectory());
    }

    DWORD AttributesOf(const Location& loc) const {
        if (loc.isRoot && loc.drive != nullptr) {
            return FILE_ATTRIBUTE_DIRECTORY;
        }
        return NormalizeAttributes(MetaOfLocation(loc).attributes, loc.IsDirectory());
    }

    sim::EntryMeta& MetaOf(const Location& loc) {
        const sim::EntryMeta current = MetaOfLocation(loc);
        if (loc.drive != nullptr) {
            if (sim::EntryMeta* m = loc.drive->meta.FindMutable(loc.rel)) {
                return *m;
            }
            sim::EntryMeta fresh = current;
            fresh.sequence = loc.isRoot ? 0 : fresh.sequence;
            return loc.drive->meta.Set(loc.rel, fresh);
        }
        auto [it, inserted] = hostMeta_.try_emplace(loc.host, current);
        return it->second;
    }

    sim::EntryMeta MetaOfObject(FileObject& f) {
        Drive* d = f.letter != 0 ? DriveOf(f.letter) : nullptr;
        if (const sim::EntryMeta* m = StoredMeta(d, f.rel, f.host)) {
            return *m;
        }
        struct stat st {};
        if (f.fd >= 0 ? ::fstat(f.fd, &st) != 0 : ::lstat(f.host.c_str(), &st) != 0) {
            return sim::EntryMeta{};
        }
        return HostFallback(st, f.directory);
    }

    sim::EntryMeta& MetaOfObjectMutable(FileObject& f) {
        const sim::EntryMeta current = MetaOfObject(f);
        Drive* d = f.letter != 0 ? DriveOf(f.letter) : nullptr;
        if (d != nullptr) {
            if (sim::EntryMeta* m = d->meta.FindMutable(f.rel)) {
                return *m;
            }
            return d->meta.Set(f.rel, current);
        }
        auto [it, inserted] = hostMeta_.try_emplace(f.host, current);
        return it->second;
    }

    // At close: the automatic last-write time, the journal record, and the host's own times.
    DWORD FinishMeta(FileObject& f) {
        if (!f.metaDirty && !f.wroteData) {
            return ERROR_SUCCESS;
        }
        Drive* d = f.letter != 0 ? DriveOf(f.letter) : nullptr;
        if (d != nullptr && d->mediaGeneration != f.mediaGeneration) {
            return ERROR_SUCCESS; // the medium went away under the handle; nothing to record on it
        }
        sim::EntryMeta& m = MetaOfObjectMutable(f);
        if (f.wroteData && !f.explicitWrite) {
            m.lastWrite = NowFiletime();
        }
        if (f.wroteData && !f.explicitAccess) {
            m.lastAccess = m.lastWrite;
        }
        // The host file gets the times as well, where it can hold them (best effort: the
        // journal is what counts on the simulated PC).
        const timespec times[2] = {TimespecFromFiletime(m.lastAccess), TimespecFromFiletime(m.lastWrite)};
        if (f.fd >= 0) {
            (void)::futimens(f.fd, times);
        } else {
            (void)::utimensat(AT_FDCWD, f.host.c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
        if (d != nullptr) {
            return d->meta.Persist(f.rel);
        }
        return ERROR_SUCCESS;
    }

    void FlushDriveMeta(Drive& d) {
        for (auto& [h, f] : files_) {
            if (f->letter == d.config.letter) {
                (void)FlushWrites(*f); // the error stays in the handle and comes back at close
            }
        }
    }

    bool ForgetEntry(const Location& loc, std::uint64_t size) {
        if (loc.drive == nullptr) {
            hostMeta_.erase(loc.host);
            return true;
        }
        loc.drive->Freed(loc.drive->Rounded(size));
        if (DWORD err = loc.drive->meta.Remove(loc.rel)) {
            SetLastError(err);
            return false;
        }
        return true;
    }

    // Removes a host file or tree without following links; counts the drive space freed.
    DWORD RemoveHostTree(Drive* d, const std::string& path, std::uint64_t* freed) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            return ErrorFromErrno(errno);
        }
        if (S_ISDIR(st.st_mode)) {
            std::vector<std::string> names;
            if (DWORD err = EntryNames(path, &names)) {
                return err;
            }
            for (const std::string& name : names) {
                if (DWORD err = RemoveHostTree(d, JoinHost(path, name), freed)) {
                    return err;
                }
            }
            if (::rmdir(path.c_str()) != 0) {
                return ErrorFromErrno(errno);
            }
            if (d != nullptr) {
                *freed += d->ClusterBytes();
            }
            return ERROR_SUCCESS;
        }
        if (::unlink(path.c_str()) != 0) {
            return ErrorFromErrno(errno);
        }
        if (d != nullptr && S_ISREG(st.st_mode)) {
            *freed += d->Rounded(static_cast<std::uint64_t>(st.st_size));
        }
        return ERROR_SUCCESS;
    }

    bool IsOpenBelow(const std::string& host) const {
        for (const auto& [key, node] : nodes_) {
            if (key == host || (key.size() > host.size() && key.compare(0, host.size(), host) == 0 &&
                                key[host.size()] == '/')) {
                return true;
            }
        }
        return false;
    }

    // ------------------------------------------------------------------ listings
    static void RememberDrive(FindObject& find, const Location& loc) {
        if (loc.drive != nullptr) {
            find.letter = loc.drive->config.letter;
            find.mediaGeneration = loc.drive->mediaGeneration;
        }
    }

    FindData EntryData(const Location& loc, const std::string& name) {
        FindData data;
        const sim::EntryMeta m = MetaOfLocation(loc);
        const bool isDirectory = loc.isRoot || loc.IsDirectory();
        data.attributes = loc.isRoot && loc.drive != nullptr ? FILE_ATTRIBUTE_DIRECTORY
                                                             : NormalizeAttributes(m.attributes, isDirectory);
        data.creationTime = FILETIME::From(m.creation);
        data.lastAccessTime = FILETIME::From(m.lastAccess);
        data.lastWriteTime = FILETIME::From(m.lastWrite);
        if (!isDirectory) {
            auto node = nodes_.find(loc.host);
            data.fileSize =
                node != nodes_.end() ? node->second.size : static_cast<std::uint64_t>(loc.st.st_size);
        }
        data.fileName = name;
        return data;
    }

    DWORD ListDirectory(const Location& dir, const std::string& pattern, std::vector<FindData>* out) {
        DIR* handle = ::opendir(dir.host.c_str());
        if (handle == nullptr) {
            return ErrorFromErrno(errno);
        }
        struct Item {
            std::uint64_t sequence;
            FindData data;
        };
        std::vector<Item> items;
        while (dirent* e = ::readdir(handle)) {
            const std::string name = e->d_name;
            if (name == "." || name == ".." || !MatchesPattern(name, pattern)) {
                continue;
            }
            Location loc;
            loc.drive = dir.drive;
            loc.host = JoinHost(dir.host, name);
            loc.rel = JoinRel(dir.rel, name);
            if (::lstat(loc.host.c_str(), &loc.st) != 0) {
                continue; // gone meanwhile
            }
            // Links and special files are no part of a FAT drive and could lead outside it.
            if (!S_ISREG(loc.st.st_mode) && !S_ISDIR(loc.st.st_mode)) {
                continue;
            }
            loc.exists = true;
            const sim::EntryMeta* stored = StoredMeta(loc.drive, loc.rel, loc.host);
            items.push_back(
                Item{stored != nullptr ? stored->sequence : std::numeric_limits<std::uint64_t>::max(),
                     EntryData(loc, name)});
        }
        ::closedir(handle);
        // Creation order as FAT keeps it; entries the simulated PC did not create, by name.
        std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
            if (a.sequence != b.sequence) {
                return a.sequence < b.sequence;
            }
            if (!EqualNoCase(a.data.fileName, b.data.fileName)) {
                return LessNoCase(a.data.fileName, b.data.fileName);
            }
            return a.data.fileName < b.data.fileName;
        });
        if (!dir.isRoot && MatchesPattern(".", pattern)) {
            out->push_back(EntryData(dir, "."));
            Location parent;
            if (dir.drive != nullptr) {
                const auto slash = dir.rel.rfind('/');
                const std::string parentPath =
                    slash == std::string::npos ? std::string() : dir.rel.substr(0, slash);
                parent.drive = dir.drive;
                parent.rel = parentPath;
                parent.host =
                    parentPath.empty() ? dir.drive->hostRoot : JoinHost(dir.drive->hostRoot, parentPath);
                parent.isRoot = parentPath.empty();
            } else {
                parent.host = Parent(dir.host);
            }
            if (::lstat(parent.host.c_str(), &parent.st) == 0) {
                parent.exists = true;
                out->push_back(EntryData(parent, ".."));
            }
        }
        for (Item& item : items) {
            out->push_back(std::move(item.data));
        }
        return ERROR_SUCCESS;
    }

    // ------------------------------------------------------------------ handles
    FileObject* FileOf(Handle h) {
        auto it = files_.find(h);
        return it == files_.end() ? nullptr : it->second.get();
    }

    enum class Use { Metadata, Reading, Writing };

    // The medium is still there (and the same one), and the drive has no injected fault.
    DWORD CheckHandle(FileObject& f, Use use) {
        const bool writing = use == Use::Writing;
        const bool reading = use == Use::Reading;
        if (f.letter == 0) {
            return ERROR_SUCCESS;
        }
        RefreshIfDue();
        Drive* d = DriveOf(f.letter);
        if (d == nullptr || !d->config.media || d->mediaGeneration != f.mediaGeneration) {
            return ERROR_NOT_READY;
        }
        if (writing && IsWriteProtected(d)) {
            return ERROR_WRITE_PROTECT;
        }
        if (writing && d->config.fault == SimFault::Write) {
            return ERROR_WRITE_FAULT;
        }
        if (reading && d->config.fault == SimFault::Read) {
            return ERROR_READ_FAULT;
        }
        return ERROR_SUCCESS;
    }

    // The checks of a call on an open file, in the order they report: the access the handle
    // was opened with (neededAccess; 0 when none is needed), the medium, then the fault hook.
    DWORD CheckFileCall(FileObject& f, DWORD neededAccess, Use use, SimCall call) {
        if ((f.access & neededAccess) != neededAccess) {
            return ERROR_ACCESS_DENIED;
        }
        if (DWORD err = CheckHandle(f, use)) {
            return err;
        }
        return Hook(call, f.windows);
    }

    // ReadFile's (Use::Reading) and WriteFile's (Use::Writing) checks before a byte moves, in
    // the order they report: the handle, a file rather than a directory, the checks of
    // CheckFileCall, then the arguments. *done is 0 from here on.
    DWORD StartTransfer(Handle h, Use use, const void* buffer, DWORD count, DWORD* done, FileObject** file) {
        if (done != nullptr) {
            *done = 0;
        }
        FileObject* f = FileOf(h);
        if (f == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        if (f->directory) {
            return ERROR_ACCESS_DENIED;
        }
        const bool writing = use == Use::Writing;
        if (DWORD err = CheckFileCall(*f, writing ? GENERIC_WRITE : GENERIC_READ, use,
                                      writing ? SimCall::Write : SimCall::Read)) {
            return err;
        }
        if (done == nullptr || (buffer == nullptr && count != 0)) {
            return ERROR_INVALID_PARAMETER;
        }
        *file = f;
        return ERROR_SUCCESS;
    }

    static bool SharingAllows(DWORD accessA, DWORD shareA, DWORD accessB, DWORD shareB) {
        // Opens without data access (attribute or time queries) take no part in sharing.
        if ((accessA & (GENERIC_READ | GENERIC_WRITE)) == 0 ||
            (accessB & (GENERIC_READ | GENERIC_WRITE)) == 0) {
            return true;
        }
        auto conflicts = [](DWORD access, DWORD otherShare) {
            return ((access & GENERIC_READ) != 0 && (otherShare & FILE_SHARE_READ) == 0) ||
                   ((access & GENERIC_WRITE) != 0 && (otherShare & FILE_SHARE_WRITE) == 0);
        };
        return !conflicts(accessA, shareB) && !conflicts(accessB, shareA);
    }

    Handle OpenObject(Location& loc, DWORD access, DWORD share, bool directory, bool truncate,
                      DWORD successCode, bool resetAttributes = false, int createdFd = -1) {
        auto nodeIt = nodes_.find(loc.host);
        if (nodeIt != nodes_.end()) {
            for (const FileObject* other : nodeIt->second.opens) {
                if (!SharingAllows(access, share, other->access, other->share)) {
                    if (createdFd >= 0) {
                        ::close(createdFd);
                    }
                    return FailHandle(ERROR_SHARING_VIOLATION);
                }
            }
        }
        int fd = createdFd;
        if (fd < 0 && !directory) {
            const bool writable = (access & GENERIC_WRITE) != 0 || truncate;
            fd = ::open(loc.host.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                return FailHandle(ErrorFromErrno(errno));
            }
        }
        auto f = std::make_unique<FileObject>();
        f->pc = this;
        f->letter = loc.drive != nullptr ? loc.drive->config.letter : 0;
        f->mediaGeneration = loc.drive != nullptr ? loc.drive->mediaGeneration : 0;
        f->windows = loc.windows;
        f->rel = loc.rel;
        f->host = loc.host;
        f->fd = fd;
        f->directory = directory;
        f->access = access;
        f->share = share;
        f->nodeKey = loc.host;
        OpenNode& node = nodes_[loc.host];
        if (node.opens.empty()) {
            node.size = directory ? 0 : static_cast<std::uint64_t>(loc.st.st_size);
        }
        if (truncate && node.size > 0) {
            if (::ftruncate(fd, 0) != 0) {
                const DWORD err = ErrorFromErrno(errno);
                ::close(fd);
                if (node.opens.empty()) {
                    nodes_.erase(loc.host);
                }
                return FailHandle(err);
            }
            if (loc.drive != nullptr) {
                loc.drive->Freed(loc.drive->Rounded(node.size));
            }
            node.size = 0;
        }
        node.opens.push_back(f.get());
        f->node = &node;
        FileObject* raw = f.get();
        const Handle h = nextHandle_++;
        files_[h] = std::move(f);
        if (truncate) {
            sim::EntryMeta& m = MetaOfObjectMutable(*raw);
            if (resetAttributes) {
                m.attributes = FILE_ATTRIBUTE_ARCHIVE; // CREATE_ALWAYS replaces the attributes
            }
            raw->wroteData = true;
            raw->metaDirty = true;
        }
        SetLastError(successCode);
        return h;
    }

    void Release(FileObject& f) {
        auto it = nodes_.find(f.nodeKey);
        if (it != nodes_.end()) {
            std::erase(it->second.opens, &f);
            if (it->second.opens.empty()) {
                nodes_.erase(it);
            }
        }
        if (f.fd >= 0) {
            ::close(f.fd);
            f.fd = -1;
        }
    }

    DWORD WriteAt(FileObject& f, const std::uint8_t* data, std::uint32_t count) {
        if (f.deferredError != ERROR_SUCCESS) {
            const DWORD err = f.deferredError;
            f.deferredError = ERROR_SUCCESS;
            return err;
        }
        if (count == 0) {
            return ERROR_SUCCESS;
        }
        Drive* d = f.letter != 0 ? DriveOf(f.letter) : nullptr;
        const std::uint64_t end = f.position + count;
        const std::uint64_t oldSize = f.node->size;
        std::uint64_t grown = 0;
        if (d != nullptr && end > oldSize) {
            grown = d->Rounded(end) - d->Rounded(oldSize);
            // A write that does not fit writes nothing.
            // (A mapped host folder has no count of its own: the host reports a full disk.)
            if (grown > 0 && !d->hostSized && grown > d->FreeBytes()) {
                return ERROR_DISK_FULL;
            }
        }
        // Other handles of the file must not read stale bytes from their read-ahead.
        for (FileObject* other : f.node->opens) {
            other->readLength = 0;
        }
        if (!f.writeBuffer.empty() && f.writeOffset + f.writeBuffer.size() != f.position) {
            if (DWORD err = FlushReporting(f)) {
                return err;
            }
        }
        if (f.writeBuffer.empty()) {
            f.writeOffset = f.position;
        }
        if (count >= DirectIoSize) {
            // What is buffered goes first, so the file's bytes land in order.
            if (DWORD err = FlushReporting(f)) {
                return err;
            }
            if (DWORD err = PwriteAll(f.fd, data, count, f.position)) {
                return err;
            }
        } else {
            f.writeBuffer.insert(f.writeBuffer.end(), data, data + count);
            if (f.writeBuffer.size() >= IoBufferSize) {
                if (DWORD err = FlushReporting(f)) {
                    return err;
                }
            }
        }
        if (d != nullptr) {
            d->used += grown;
        }
        f.position = end;
        f.node->size = std::max(oldSize, end);
        f.wroteData = true;
        return ERROR_SUCCESS;
    }

    // A flush whose failure this call reports itself (it is not reported again later).
    DWORD FlushReporting(FileObject& f) {
        const DWORD err = FlushWrites(f);
        if (err != ERROR_SUCCESS) {
            f.deferredError = ERROR_SUCCESS;
        }
        return err;
    }

    DWORD FlushWrites(FileObject& f) {
        if (f.writeBuffer.empty()) {
            return ERROR_SUCCESS;
        }
        const DWORD err = PwriteAll(f.fd, f.writeBuffer.data(), f.writeBuffer.size(), f.writeOffset);
        f.writeBuffer.clear();
        if (err != ERROR_SUCCESS && f.deferredError == ERROR_SUCCESS) {
            f.deferredError = err; // reported by the next write or the close
        }
        return err;
    }

    // Buffered writes of every handle of the file reach the host file before it is read.
    DWORD FlushNode(FileObject& f) {
        DWORD result = ERROR_SUCCESS;
        for (FileObject* other : f.node->opens) {
            const DWORD err = FlushWrites(*other);
            if (result == ERROR_SUCCESS) {
                result = err;
            }
        }
        return result;
    }

    void FlushAll() {
        for (auto& [h, f] : files_) {
            (void)FlushWrites(*f); // the error stays in the handle and comes back at close
            if (f->metaDirty || f->wroteData) {
                (void)FinishMeta(*f);
            }
        }
    }

    std::string pcFolder_;
    bool mapped_ = false;
    std::array<std::unique_ptr<Drive>, 26> drives_;
    std::unordered_map<std::string, sim::EntryMeta> hostMeta_; // host paths outside every drive
    std::unordered_map<Handle, std::unique_ptr<FileObject>> files_;
    std::unordered_map<Handle, std::unique_ptr<FindObject>> finds_;
    std::unordered_map<Handle, std::unique_ptr<VolumeEnumeration>> volumes_;
    std::unordered_map<std::string, OpenNode> nodes_;
    std::unordered_map<std::string, DirNames> dirNames_; // case-insensitive name tables
    Handle nextHandle_ = 0x100;
    std::uint64_t generations_ = 0;
    SimCallFault hook_;
    DescriptionStamp descriptionStamp_;
    std::chrono::steady_clock::time_point lastCheck_{};
    std::array<int, 26> snapshot_{};
};

DWORD FileObject::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) {
    return pc->ReadAtFor(*this, offset, buffer, count, got);
}

DWORD FileObject::Write(const void* buffer, std::uint32_t count) {
    return pc->WriteFor(*this, buffer, count);
}

} // namespace

std::unique_ptr<SimulatedPc> OpenSimulatedPc(const std::string& folder, std::string* error) {
    auto pc = std::make_unique<SimPc>();
    if (!pc->OpenPc(folder, error)) {
        return nullptr;
    }
    return pc;
}

std::unique_ptr<SimulatedPc> MapFolderAsDrive(const std::string& hostFolder, char letter,
                                              std::string* error) {
    auto pc = std::make_unique<SimPc>();
    if (!pc->OpenMapped(hostFolder, letter, error)) {
        return nullptr;
    }
    return pc;
}

} // namespace platform
