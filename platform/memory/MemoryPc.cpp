// The in-memory PC: a tree of nodes per drive, handles that point at nodes, and the checks of
// the Windows file functions in the order they report. Backup streams go through the shared
// state machines (BackupStream.h), paths through the shared parser (WinPath.h).
#include "platform/memory/MemoryPc.h"

#include "platform/api/LastError.h"
#include "platform/common/BackupStream.h"
#include "platform/common/FileRules.h"
#include "platform/common/WinPath.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <utility>

namespace platform {

namespace {

constexpr std::uint64_t UnixEpochAsFiletime = 116444736000000000ULL;
// SetFileTime with all bits set: this handle stops updating that time.
constexpr std::uint64_t StopUpdating = ~std::uint64_t{0};
constexpr std::string_view HostPrefix = "/memory/";
constexpr std::string_view VolumeTag = "memory";

struct Node {
    std::string name;
    bool directory = false;
    DWORD attributes = 0;
    std::uint64_t creation = 0;
    std::uint64_t lastAccess = 0;
    std::uint64_t lastWrite = 0;
    std::vector<std::uint8_t> data;
    // In creation order: a FAT directory lists its slots as they were filled.
    std::vector<std::shared_ptr<Node>> children;
    Node* parent = nullptr;

    Node* Child(std::string_view childName) const {
        for (const auto& child : children) {
            if (EqualNoCase(child->name, childName)) {
                return child.get();
            }
        }
        return nullptr;
    }
    bool IsWithin(const Node* ancestor) const {
        for (const Node* n = this; n != nullptr; n = n->parent) {
            if (n == ancestor) {
                return true;
            }
        }
        return false;
    }
};

struct Drive {
    MemoryDriveConfig config;
    std::shared_ptr<Node> root;
    std::uint64_t used = 0;
    // Bumped when the medium goes away or the drive is wiped: older handles are dead from then on.
    std::uint64_t generation = 0;

    std::uint64_t ClusterBytes() const {
        return std::max<std::uint64_t>(1, std::uint64_t{config.bytesPerSector} * config.sectorsPerCluster);
    }
    std::uint64_t Rounded(std::uint64_t bytes) const {
        return (bytes + ClusterBytes() - 1) / ClusterBytes() * ClusterBytes();
    }
    std::uint64_t Capacity() const { return ClusterBytes() * config.totalClusters; }
    std::uint64_t Free() const { return used >= Capacity() ? 0 : Capacity() - used; }
    // What a tree takes: its files' clusters and a cluster for each directory below the root.
    std::uint64_t Footprint(const Node& node) const {
        std::uint64_t bytes =
            node.directory ? (node.parent != nullptr ? ClusterBytes() : 0) : Rounded(node.data.size());
        for (const auto& child : node.children) {
            bytes += Footprint(*child);
        }
        return bytes;
    }
    void Release(std::uint64_t bytes) { used = used >= bytes ? used - bytes : 0; }
};

// Where a path leads: the drive, the directory that holds (or would hold) its last component
// and the entry itself. For a root, dir is null and node the root.
struct Target {
    Drive* drive = nullptr;
    Node* dir = nullptr;
    Node* node = nullptr;
    std::string name;
    bool trailingSeparator = false;
    bool IsRoot() const { return dir == nullptr; }
};

class Pc;

struct OpenFile final : BackupFile {
    Pc* pc = nullptr;
    Drive* drive = nullptr;
    std::uint64_t generation = 0;
    std::shared_ptr<Node> node;
    DWORD access = 0;
    DWORD share = 0;
    std::uint64_t position = 0;
    bool keepLastWrite = false; // the handle set the last-write time itself

    bool IsDirectory() const override { return node->directory; }
    DWORD Size(std::uint64_t* size) override {
        *size = node->data.size();
        return ERROR_SUCCESS;
    }
    DWORD ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        const std::uint64_t size = node->data.size();
        *got = offset >= size ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(count, size - offset));
        if (*got > 0) {
            std::memcpy(buffer, node->data.data() + offset, *got);
        }
        return ERROR_SUCCESS;
    }
    DWORD Write(const void* buffer, std::uint32_t count) override;
};

// A directory listing, which ends when its drive's medium goes.
struct Listing : Enumeration<FindData> {
    Drive* drive = nullptr;
    std::uint64_t generation = 0;
};

// Parses a path of the drives: "X:\..." or a host path below /memory/<letter>.
DWORD ParseDrivePath(std::string_view text, WinPath* out, bool wildcards = false) {
    if (const DWORD err = ParseWinPath(text, out, wildcards)) {
        return err;
    }
    if (!out->isHost) {
        return ERROR_SUCCESS;
    }
    const std::string_view host = text;
    if (host.substr(0, HostPrefix.size()) != HostPrefix || host.size() < HostPrefix.size() + 1 ||
        (host.size() > HostPrefix.size() + 1 && host[HostPrefix.size() + 1] != '/')) {
        return ERROR_PATH_NOT_FOUND; // nothing of the host is reachable from here
    }
    const std::string drivePath = std::string(1, host[HostPrefix.size()]) + ":\\" +
                                  std::string(host.substr(std::min(host.size(), HostPrefix.size() + 2)));
    return ParseWinPath(drivePath, out, wildcards);
}

class Pc final : public MemoryPc, public FileSystem, public Volumes, public DeviceWatcher {
public:
    explicit Pc(const std::vector<MemoryDriveConfig>& drives) {
        for (const MemoryDriveConfig& config : drives) {
            const char letter = ToUpperAscii(std::string(1, config.letter))[0];
            if (letter < 'A' || letter > 'Z') {
                continue;
            }
            auto drive = std::make_unique<Drive>();
            drive->config = config;
            if (drive->config.serial == 0) {
                // A serial of its own per card: 'E' gives 4D450045.
                drive->config.serial = 0x4D450000u | static_cast<unsigned char>(letter);
            }
            drive->config.letter = letter;
            drive->root = NewNode("", true);
            drives_[static_cast<std::size_t>(letter - 'A')] = std::move(drive);
        }
    }

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

    // ------------------------------------------------------------------ for OpenFile
    DWORD WriteAt(OpenFile& f, const void* buffer, std::uint32_t count) {
        Node& n = *f.node;
        const std::uint64_t size = n.data.size();
        const std::uint64_t end = f.position + count;
        if (end < f.position || end > f.drive->Capacity()) {
            return ERROR_DISK_FULL; // no drive holds a file that large
        }
        if (end > size) {
            // Whole clusters or nothing: a write that does not fit writes no byte.
            const std::uint64_t growth = f.drive->Rounded(end) - f.drive->Rounded(size);
            if (growth > f.drive->Free()) {
                return ERROR_DISK_FULL;
            }
            n.data.resize(end);
            f.drive->used += growth;
        }
        if (count > 0) {
            std::memcpy(n.data.data() + f.position, buffer, count);
        }
        f.position = end;
        if (!f.keepLastWrite) {
            n.lastWrite = Now();
        }
        return ERROR_SUCCESS;
    }

private:
    std::shared_ptr<Node> NewNode(const std::string& name, bool directory) {
        auto node = std::make_shared<Node>();
        node->name = name;
        node->directory = directory;
        node->attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        node->creation = node->lastAccess = node->lastWrite = Now();
        return node;
    }

    std::uint64_t Now() const {
        if (clock_ != 0) {
            return clock_;
        }
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        return UnixEpochAsFiletime +
               static_cast<std::uint64_t>(
                   std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
    }

    Drive* DriveOf(char letter) const {
        const char upper = ToUpperAscii(std::string(1, letter))[0];
        return upper >= 'A' && upper <= 'Z' ? drives_[static_cast<std::size_t>(upper - 'A')].get() : nullptr;
    }

    static bool IsLive(const Drive& d, std::uint64_t generation) {
        return d.config.media && d.generation == generation;
    }

    void Attach(Drive& d, Node& dir, std::shared_ptr<Node> node) {
        node->parent = &dir;
        d.used += d.Footprint(*node);
        dir.children.push_back(std::move(node));
    }

    // Takes a node (and everything below it) out of its directory and gives its space back.
    std::shared_ptr<Node> Detach(Drive& d, Node& node) {
        Node& dir = *node.parent;
        auto it = std::find_if(dir.children.begin(), dir.children.end(),
                               [&](const auto& child) { return child.get() == &node; });
        std::shared_ptr<Node> taken = std::move(*it);
        dir.children.erase(it);
        d.Release(d.Footprint(*taken));
        taken->parent = nullptr;
        return taken;
    }

    DWORD Locate(const WinPath& p, Target* t) const {
        *t = Target{};
        Drive* d = DriveOf(p.drive);
        if (d == nullptr) {
            return ERROR_PATH_NOT_FOUND;
        }
        if (!d->config.media) {
            return ERROR_NOT_READY;
        }
        t->drive = d;
        t->trailingSeparator = p.trailingSeparator;
        Node* node = d->root.get();
        if (p.components.empty()) {
            t->node = node;
            return ERROR_SUCCESS;
        }
        for (std::size_t i = 0; i + 1 < p.components.size(); ++i) {
            node = node->Child(p.components[i]);
            if (node == nullptr || !node->directory) {
                return ERROR_PATH_NOT_FOUND;
            }
        }
        t->dir = node;
        t->name = p.components.back();
        t->node = node->Child(t->name);
        return ERROR_SUCCESS;
    }

    DWORD Resolve(std::string_view path, Target* t) const {
        WinPath p;
        if (const DWORD err = ParseDrivePath(path, &p)) {
            return err;
        }
        return Locate(p, t);
    }

    DWORD ResolveExisting(std::string_view path, Target* t) const {
        const DWORD err = Resolve(path, t);
        return err != ERROR_SUCCESS ? err : t->node == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
    }

    DWORD VolumeOf(std::string_view root, Drive** d) const {
        *d = DriveOf(DriveLetterOfRoot(root, VolumeTag));
        return *d == nullptr ? ERROR_PATH_NOT_FOUND : (*d)->config.media ? ERROR_SUCCESS : ERROR_NOT_READY;
    }

    bool IsOpenWithin(const Node& node) const {
        return std::any_of(files_.begin(), files_.end(), [&](const auto& entry) {
            const OpenFile& f = *entry.second;
            return IsLive(*f.drive, f.generation) && f.node->IsWithin(&node);
        });
    }

    DWORD MoveRefusal(const Target& src, const Target& dst) const {
        if (dst.IsRoot()) {
            return ERROR_ACCESS_DENIED;
        }
        if (src.drive != dst.drive) {
            return ERROR_NOT_SAME_DEVICE;
        }
        if (IsOpenWithin(*src.node) || (dst.node != nullptr && IsOpenWithin(*dst.node))) {
            return ERROR_SHARING_VIOLATION;
        }
        if (src.node->directory && dst.dir->IsWithin(src.node)) {
            return ERROR_ACCESS_DENIED; // a directory cannot move into itself
        }
        if (dst.node != nullptr && dst.node != src.node &&
            (dst.node->directory || src.node->directory ||
             (dst.node->attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
            return ERROR_ACCESS_DENIED;
        }
        return ERROR_SUCCESS;
    }

    Handle Open(const Target& t, DWORD access, DWORD share, DWORD successCode) {
        for (const auto& [h, other] : files_) {
            if (other->node.get() == t.node && IsLive(*other->drive, other->generation) &&
                !SharingAllows(access, share, other->access, other->share)) {
                return FailHandle(ERROR_SHARING_VIOLATION);
            }
        }
        auto f = std::make_unique<OpenFile>();
        f->pc = this;
        f->drive = t.drive;
        f->generation = t.drive->generation;
        f->node = t.IsRoot() ? t.drive->root : SharedOf(*t.dir, *t.node);
        f->access = access;
        f->share = share;
        const Handle h = nextHandle_++;
        files_[h] = std::move(f);
        SetLastError(successCode);
        return h;
    }

    static std::shared_ptr<Node> SharedOf(const Node& dir, const Node& node) {
        for (const auto& child : dir.children) {
            if (child.get() == &node) {
                return child;
            }
        }
        return nullptr;
    }

    OpenFile* FileOrNull(Handle h) const {
        auto it = files_.find(h);
        return it == files_.end() ? nullptr : it->second.get();
    }

    // The checks of a call on an open handle, in the order they report: the handle, the access
    // it was opened with (neededAccess; 0 when none is needed), then the medium.
    DWORD Usable(Handle h, DWORD neededAccess, OpenFile** out) const {
        OpenFile* f = FileOrNull(h);
        if (f == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        if ((f->access & neededAccess) != neededAccess) {
            return ERROR_ACCESS_DENIED;
        }
        if (!IsLive(*f->drive, f->generation)) {
            return ERROR_NOT_READY;
        }
        *out = f;
        return ERROR_SUCCESS;
    }

    // ReadFile's and WriteFile's checks before a byte moves; *done is 0 from here on.
    DWORD StartTransfer(Handle h, DWORD neededAccess, const void* buffer, DWORD count, DWORD* done,
                        OpenFile** out) const {
        if (done != nullptr) {
            *done = 0;
        }
        OpenFile* f = FileOrNull(h);
        if (f != nullptr && f->node->directory) {
            return ERROR_ACCESS_DENIED;
        }
        if (const DWORD err = Usable(h, neededAccess, out)) {
            return err;
        }
        return done == nullptr || (buffer == nullptr && count != 0) ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    }

    // Why a backup-stream call on h cannot go on; 0 when it can. An abort always can, and a
    // handle that is not open is the stream's to report (after its own argument checks).
    DWORD StreamRefusal(Handle h, BOOL abort, DWORD neededAccess) const {
        OpenFile* f = nullptr;
        const DWORD err = abort != FALSE ? ERROR_SUCCESS : Usable(h, neededAccess, &f);
        return err == ERROR_INVALID_HANDLE ? ERROR_SUCCESS : err;
    }

    // Hands out the first item of what a find found and keeps the rest for the Next calls.
    template <typename Found, typename Item>
    Handle Begin(std::map<Handle, Found>& open, Found found, Item* first) {
        *first = found.items[0];
        found.next = 1;
        const Handle h = nextHandle_++;
        open[h] = std::move(found);
        return h;
    }

    static FindData Describe(const Node& node, const std::string& name) {
        FindData data;
        data.attributes = node.attributes;
        data.creationTime = FILETIME::From(node.creation);
        data.lastAccessTime = FILETIME::From(node.lastAccess);
        data.lastWriteTime = FILETIME::From(node.lastWrite);
        data.fileSize = node.data.size();
        data.fileName = name;
        return data;
    }

    static void Visit(const Node& dir, const std::string& path,
                      const std::function<void(const MemoryEntryView&)>& visit) {
        for (const auto& child : dir.children) {
            MemoryEntryView e;
            e.path = path + "\\" + child->name;
            e.attributes = child->attributes;
            e.creationTime = FILETIME::From(child->creation);
            e.lastAccessTime = FILETIME::From(child->lastAccess);
            e.lastWriteTime = FILETIME::From(child->lastWrite);
            e.data = std::string_view(reinterpret_cast<const char*>(child->data.data()), child->data.size());
            visit(e);
            Visit(*child, e.path, visit);
        }
    }

    std::array<std::unique_ptr<Drive>, 26> drives_;
    std::map<Handle, std::unique_ptr<OpenFile>> files_;
    std::map<Handle, Listing> listings_;
    std::map<Handle, Enumeration<std::string>> volumeLists_;
    Handle nextHandle_ = 0x100;
    std::vector<UINT> events_;
    std::uint64_t clock_ = 0;
};

DWORD OpenFile::Write(const void* buffer, std::uint32_t count) {
    return pc->WriteAt(*this, buffer, count);
}

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
