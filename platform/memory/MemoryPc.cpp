// The in-memory PC's calls: the platform, the drive controls of MemoryPc, the Windows file and
// volume functions and the device-change poll, over the state in MemoryState.h. Backup streams go
// through the shared state machines (BackupStream.h), paths through the shared parser (WinPath.h).
#include "platform/memory/MemoryPc.h"

#include "platform/api/LastError.h"
#include "platform/memory/MemoryState.h"

#include <utility>

namespace platform {

namespace {

using namespace memory;

class Pc final : public MemoryPc,
                 public FileSystem,
                 public Volumes,
                 public DeviceWatcher,
                 private MemoryState {
public:
    explicit Pc(const std::vector<MemoryDriveConfig>& drives) : MemoryState(drives) {}

    // ------------------------------------------------------------------ Platform
    FileSystem& Files() override { return *this; }
    Volumes& Drives() override { return *this; }
    DeviceWatcher& Devices() override { return *this; }

    std::string HostPathOf(std::string_view windowsPath) override {
        WinPath p;
        if (ParseDrivePath(windowsPath, &p) != ERROR_SUCCESS) {
            return {};
        }
        std::string host = std::string(HostPrefix) + p.drive;
        if (!p.components.empty()) {
            host += "/" + p.Relative();
        }
        return host;
    }

    std::string WindowsPathOf(std::string_view hostPath) override {
        WinPath p;
        if (!IsHostAbsolute(hostPath) || ParseDrivePath(hostPath, &p) != ERROR_SUCCESS) {
            return std::string(hostPath);
        }
        return p.ToString();
    }

    // ------------------------------------------------------------------ MemoryPc
    void SetMedia(char letter, bool present) override {
        Drive* d = DriveOf(letter);
        if (d == nullptr || d->config.media == present) {
            return;
        }
        d->config.media = present;
        if (!present) {
            ++d->generation;
        }
        events_.push_back(present ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
    }

    void Wipe(char letter) override {
        if (Drive* d = DriveOf(letter)) {
            d->root = NewNode("", true);
            d->used = 0;
            ++d->generation;
            // A format writes a new volume ID.
            d->config.serial = d->config.serial * 1664525u + 1013904223u;
            d->config.serial = d->config.serial != 0 ? d->config.serial : 1;
        }
    }

    std::uint64_t UsedBytes(char letter) const override {
        const Drive* d = DriveOf(letter);
        return d == nullptr ? 0 : d->used;
    }

    std::uint64_t CapacityBytes(char letter) const override {
        const Drive* d = DriveOf(letter);
        return d == nullptr ? 0 : d->Capacity();
    }

    std::size_t OpenHandles() const override {
        return files_.size() + listings_.size() + volumeLists_.size();
    }

    void Walk(char letter, const std::function<void(const MemoryEntryView&)>& visit) const override {
        if (const Drive* d = DriveOf(letter)) {
            Visit(*d->root, std::string(1, d->config.letter) + ":", visit);
        }
    }

    void SetClock(std::uint64_t filetime) override { clock_ = filetime; }

    // ------------------------------------------------------------------ FileSystem
    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override {
        if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
            return FailHandle(ERROR_INVALID_PARAMETER);
        }
        Target t;
        if (const DWORD err = Resolve(path, &t)) {
            return FailHandle(err);
        }
        if (t.node != nullptr) {
            const OpenOfExisting open = PlanOpenOfExisting(
                t.node->directory, t.IsRoot(), t.trailingSeparator,
                (t.node->attributes & FILE_ATTRIBUTE_READONLY) != 0, access, disposition, flags);
            if (open.error != ERROR_SUCCESS) {
                return FailHandle(open.error);
            }
            const Handle h = Open(t, access, shareMode, open.successCode);
            if (h != InvalidHandle && open.truncate) {
                t.drive->Release(t.drive->Rounded(t.node->data.size()));
                t.node->data.clear();
                t.node->lastWrite = Now();
                if (open.replaceAttributes) {
                    t.node->attributes = FILE_ATTRIBUTE_ARCHIVE;
                }
            }
            return h;
        }
        if (t.trailingSeparator) {
            return FailHandle(ERROR_INVALID_NAME); // "FILE\" names a directory that is not there
        }
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        Attach(*t.drive, *t.dir, NewNode(t.name, false));
        t.node = t.dir->Child(t.name);
        return Open(t, access, shareMode, ERROR_SUCCESS);
    }

    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override {
        OpenFile* f = nullptr;
        if (const DWORD err = StartTransfer(h, GENERIC_READ, buffer, toRead, read, &f)) {
            return Fail(err);
        }
        std::uint32_t got = 0;
        f->ReadAt(f->position, buffer, toRead, &got);
        f->position += got;
        *read = got;
        return TRUE;
    }

    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override {
        OpenFile* f = nullptr;
        if (const DWORD err = StartTransfer(h, GENERIC_WRITE, buffer, toWrite, written, &f)) {
            return Fail(err);
        }
        if (const DWORD err = WriteAt(*f, buffer, toWrite)) {
            return Fail(err);
        }
        *written = toWrite;
        return TRUE;
    }

    BOOL CloseHandle(Handle h) override {
        // Closing a listing's handle is tolerated, as FindClose.
        if (files_.erase(h) == 0 && listings_.erase(h) == 0) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        return TRUE;
    }

    BOOL SetFilePointer(Handle h, std::uint64_t position) override {
        OpenFile* f = nullptr;
        if (const DWORD err = Usable(h, 0, &f)) {
            return Fail(err);
        }
        if (f->node->directory) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        f->position = position; // past the end is allowed: a write there fills the gap with zeros
        return TRUE;
    }

    BOOL GetFileSize(Handle h, std::uint64_t* size) override {
        OpenFile* f = nullptr;
        if (const DWORD err = Usable(h, 0, &f)) {
            return Fail(err);
        }
        if (size == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *size = f->node->data.size();
        return TRUE;
    }

    DWORD GetFileAttributes(std::string_view path) override {
        Target t;
        DWORD err = Resolve(path, &t);
        if (err == ERROR_SUCCESS) {
            err = t.node == nullptr                             ? ERROR_FILE_NOT_FOUND
                  : (t.trailingSeparator && !t.node->directory) ? ERROR_INVALID_NAME
                                                                : ERROR_SUCCESS;
        }
        if (err != ERROR_SUCCESS) {
            SetLastError(err);
            return INVALID_FILE_ATTRIBUTES;
        }
        return t.node->attributes;
    }

    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override {
        Target t;
        if (const DWORD err = ResolveExisting(path, &t)) {
            return Fail(err);
        }
        if (!t.IsRoot()) {
            t.node->attributes = NormalizeAttributes(attributes, t.node->directory);
        }
        return TRUE;
    }

    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override {
        OpenFile* f = nullptr;
        if (const DWORD err = Usable(h, 0, &f)) {
            return Fail(err);
        }
        const Node& n = *f->node;
        StoreTimes(FILETIME::From(n.creation), FILETIME::From(n.lastAccess), FILETIME::From(n.lastWrite),
                   creation, lastAccess, lastWrite);
        return TRUE;
    }

    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override {
        OpenFile* f = nullptr;
        if (const DWORD err = Usable(h, GENERIC_WRITE, &f)) {
            return Fail(err);
        }
        Node& n = *f->node;
        // A null pointer or a zero time leaves that time alone.
        auto given = [](const FILETIME* t) { return t != nullptr && t->Value() != 0; };
        if (given(creation) && creation->Value() != StopUpdating) {
            n.creation = creation->Value();
        }
        if (given(lastAccess) && lastAccess->Value() != StopUpdating) {
            n.lastAccess = lastAccess->Value();
        }
        if (given(lastWrite)) {
            f->keepLastWrite = true;
            if (lastWrite->Value() != StopUpdating) {
                n.lastWrite = lastWrite->Value();
            }
        }
        return TRUE;
    }

    BOOL CreateDirectory(std::string_view path) override {
        Target t;
        if (const DWORD err = Resolve(path, &t)) {
            return Fail(err);
        }
        if (t.IsRoot()) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (t.node != nullptr) {
            return Fail(ERROR_ALREADY_EXISTS);
        }
        if (t.drive->Free() < t.drive->ClusterBytes()) {
            return Fail(ERROR_DISK_FULL); // a FAT directory takes a cluster of its own
        }
        Attach(*t.drive, *t.dir, NewNode(t.name, true));
        return TRUE;
    }

    BOOL DeleteFile(std::string_view path) override {
        Target t;
        DWORD err = ResolveExisting(path, &t);
        if (err == ERROR_SUCCESS &&
            (t.node->directory || (t.node->attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS && IsOpenWithin(*t.node)) {
            err = ERROR_SHARING_VIOLATION;
        }
        if (err != ERROR_SUCCESS) {
            return Fail(err);
        }
        Detach(*t.drive, *t.node);
        return TRUE;
    }

    BOOL MoveFileReplace(std::string_view from, std::string_view to) override {
        Target src;
        Target dst;
        DWORD err = ResolveExisting(from, &src);
        if (err == ERROR_SUCCESS) {
            err = src.IsRoot() ? ERROR_ACCESS_DENIED : Resolve(to, &dst);
        }
        if (err == ERROR_SUCCESS) {
            err = MoveRefusal(src, dst);
        }
        if (err != ERROR_SUCCESS) {
            return Fail(err);
        }
        std::shared_ptr<Node> moving = Detach(*src.drive, *src.node);
        if (dst.node != nullptr && dst.node != src.node) {
            Detach(*dst.drive, *dst.node);
        }
        moving->name = dst.name;
        Attach(*dst.drive, *dst.dir, std::move(moving));
        return TRUE;
    }

    DWORD DeleteTree(std::string_view path) override {
        Target t;
        DWORD err = ResolveExisting(path, &t);
        if (err == ERROR_SUCCESS && t.IsRoot()) {
            err = ERROR_ACCESS_DENIED;
        }
        if (err == ERROR_SUCCESS && IsOpenWithin(*t.node)) {
            err = ERROR_SHARING_VIOLATION;
        }
        if (err == ERROR_SUCCESS) {
            Detach(*t.drive, *t.node);
        }
        return err;
    }

    Handle FindFirstFile(std::string_view pattern, FindData* data) override {
        if (data == nullptr) {
            return FailHandle(ERROR_INVALID_PARAMETER);
        }
        WinPath p;
        if (const DWORD err = ParseDrivePath(pattern, &p, true)) {
            return FailHandle(err);
        }
        Listing listing;
        if (p.components.empty() || !HasWildcards(p.components.back())) {
            // A single entry by its name.
            Target t;
            if (const DWORD err = Locate(p, &t)) {
                return FailHandle(err);
            }
            if (t.node == nullptr || t.IsRoot() || t.trailingSeparator) {
                return FailHandle(ERROR_FILE_NOT_FOUND);
            }
            listing.items.push_back(Describe(*t.node, t.node->name));
            listing.drive = t.drive;
        } else {
            const std::string wanted = p.components.back();
            p.components.pop_back();
            Target t;
            if (const DWORD err = Locate(p, &t)) {
                return FailHandle(err);
            }
            if (t.node == nullptr || !t.node->directory) {
                return FailHandle(ERROR_PATH_NOT_FOUND);
            }
            if (!t.IsRoot()) {
                for (auto [node, name] : {std::pair{t.node, "."}, std::pair{t.dir, ".."}}) {
                    if (MatchesPattern(name, wanted)) {
                        listing.items.push_back(Describe(*node, name));
                    }
                }
            }
            for (const auto& child : t.node->children) {
                if (MatchesPattern(child->name, wanted)) {
                    listing.items.push_back(Describe(*child, child->name));
                }
            }
            listing.drive = t.drive;
        }
        if (listing.items.empty()) {
            return FailHandle(ERROR_FILE_NOT_FOUND);
        }
        listing.generation = listing.drive->generation;
        return Begin(listings_, std::move(listing), data);
    }

    BOOL FindNextFile(Handle h, FindData* data) override {
        auto it = listings_.find(h);
        if (it == listings_.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (!IsLive(*it->second.drive, it->second.generation)) {
            return Fail(ERROR_NOT_READY); // the card was pulled during the listing
        }
        return it->second.Next(data);
    }

    BOOL FindClose(Handle h) override { return listings_.erase(h) != 0 ? TRUE : Fail(ERROR_INVALID_HANDLE); }

    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override {
        if (const DWORD err = StreamRefusal(h, abort, GENERIC_READ)) {
            return Fail(err);
        }
        return BackupReadStream(FileOrNull(h), buffer, toRead, read, abort, context);
    }

    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override {
        if (const DWORD err = StreamRefusal(h, abort, GENERIC_WRITE)) {
            return Fail(err);
        }
        return BackupWriteStream(FileOrNull(h), buffer, toWrite, written, abort, context);
    }

    // ------------------------------------------------------------------ Volumes
    DWORD GetLogicalDrives() override {
        DWORD mask = 0;
        for (std::size_t i = 0; i < drives_.size(); ++i) {
            mask |= drives_[i] != nullptr ? DWORD{1} << i : 0;
        }
        return mask;
    }

    UINT GetDriveType(std::string_view root) override {
        const Drive* d = DriveOf(DriveLetterOfRoot(root, VolumeTag));
        return d == nullptr ? DRIVE_NO_ROOT_DIR : d->config.type;
    }

    BOOL GetVolumeLabel(std::string_view root, std::string* label, DWORD maxLength,
                        DWORD* serialNumber) override {
        Drive* d = nullptr;
        if (const DWORD err = VolumeOf(root, &d)) {
            return Fail(err);
        }
        if (label != nullptr) {
            label->assign(d->config.label, 0, maxLength);
        }
        if (serialNumber != nullptr) {
            *serialNumber = d->config.serial;
        }
        return TRUE;
    }

    BOOL GetDiskFreeSpace(std::string_view root, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                          DWORD* freeClusters, DWORD* totalClusters) override {
        Drive* d = nullptr;
        if (const DWORD err = VolumeOf(root, &d)) {
            return Fail(err);
        }
        const DWORD values[] = {d->config.sectorsPerCluster, d->config.bytesPerSector,
                                static_cast<DWORD>(d->Free() / d->ClusterBytes()), d->config.totalClusters};
        DWORD* outs[] = {sectorsPerCluster, bytesPerSector, freeClusters, totalClusters};
        for (std::size_t i = 0; i < 4; ++i) {
            if (outs[i] != nullptr) {
                *outs[i] = values[i];
            }
        }
        return TRUE;
    }

    Handle FindFirstVolume(std::string* volumeName) override {
        if (volumeName == nullptr) {
            return FailHandle(ERROR_INVALID_PARAMETER);
        }
        Enumeration<std::string> volumes;
        for (const auto& d : drives_) {
            if (d != nullptr) {
                volumes.items.push_back(MadeUpVolumeName(VolumeTag, d->config.letter));
            }
        }
        if (volumes.items.empty()) {
            return FailHandle(ERROR_NO_MORE_FILES);
        }
        return Begin(volumeLists_, std::move(volumes), volumeName);
    }

    BOOL FindNextVolume(Handle h, std::string* volumeName) override {
        auto it = volumeLists_.find(h);
        return it == volumeLists_.end() ? Fail(ERROR_INVALID_HANDLE) : it->second.Next(volumeName);
    }

    BOOL FindVolumeClose(Handle h) override {
        return volumeLists_.erase(h) != 0 ? TRUE : Fail(ERROR_INVALID_HANDLE);
    }

    BOOL QueryVolumeDiskExtents(std::string_view name) override {
        // The device of a volume name, or "\\.\X:"; with a trailing backslash the name is the
        // root directory, which cannot answer.
        const Drive* d = DriveOf(DriveLetterOfDevice(name, VolumeTag));
        if (d == nullptr) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        return d->config.media ? TRUE : Fail(ERROR_NOT_READY);
    }

    DWORD FormatDrive(UINT driveNumber, const FormatRequest& request) override {
        Drive* d = driveNumber < 26 ? DriveOf(static_cast<char>('A' + driveNumber)) : nullptr;
        if (d == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (!d->config.media) {
            return ERROR_NOT_READY;
        }
        if (IsOpenWithin(*d->root)) {
            return ERROR_SHARING_VIOLATION; // the volume cannot be locked
        }
        std::string label;
        if (const DWORD err = FatVolumeLabel(request.label, &label)) {
            return err;
        }
        Wipe(d->config.letter);
        d->config.label = label;
        return ERROR_SUCCESS;
    }

    // ------------------------------------------------------------------ DeviceWatcher
    std::vector<UINT> Poll() override { return std::exchange(events_, {}); }
};

} // namespace

std::vector<MemoryEntry> MemoryPc::Entries(char letter) const {
    std::vector<MemoryEntry> entries;
    Walk(letter, [&](const MemoryEntryView& e) {
        entries.push_back(
            {e.path, e.attributes, e.creationTime, e.lastAccessTime, e.lastWriteTime, std::string(e.data)});
    });
    return entries;
}

std::unique_ptr<MemoryPc> CreateMemoryPc(const std::vector<MemoryDriveConfig>& drives) {
    return std::make_unique<Pc>(drives);
}

} // namespace platform