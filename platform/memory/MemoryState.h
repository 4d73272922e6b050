// The in-memory PC's state: a tree of nodes per drive with its space in use, the handles open on
// them, and the lookups and checks that the file and volume calls share (MemoryPc.cpp answers the
// calls). Internal to platform/memory.
#pragma once

#include "platform/common/BackupStream.h"
#include "platform/common/FileRules.h"
#include "platform/common/WinPath.h"
#include "platform/memory/MemoryPc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::memory {

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

class MemoryState;

struct OpenFile final : BackupFile {
    MemoryState* state = nullptr;
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
DWORD ParseDrivePath(std::string_view text, WinPath* out, bool wildcards = false);

class MemoryState {
public:
    explicit MemoryState(const std::vector<MemoryDriveConfig>& drives);

    // Writes at the handle's position: whole clusters or nothing, ERROR_DISK_FULL when they do not fit.
    DWORD WriteAt(OpenFile& f, const void* buffer, std::uint32_t count);

protected:
    std::shared_ptr<Node> NewNode(const std::string& name, bool directory);
    // The time that new entries and writes get: the set clock, else the system clock.
    std::uint64_t Now() const;
    Drive* DriveOf(char letter) const;
    static bool IsLive(const Drive& d, std::uint64_t generation) {
        return d.config.media && d.generation == generation;
    }

    void Attach(Drive& d, Node& dir, std::shared_ptr<Node> node);
    // Takes a node (and everything below it) out of its directory and gives its space back.
    std::shared_ptr<Node> Detach(Drive& d, Node& node);

    DWORD Locate(const WinPath& p, Target* t) const;
    DWORD Resolve(std::string_view path, Target* t) const;
    DWORD ResolveExisting(std::string_view path, Target* t) const;
    DWORD VolumeOf(std::string_view root, Drive** d) const;
    bool IsOpenWithin(const Node& node) const;
    // Why a move from src to dst is refused; 0 when it is not.
    DWORD MoveRefusal(const Target& src, const Target& dst) const;

    // A new handle on t's entry, unless the share modes of the handles open on it refuse it.
    Handle Open(const Target& t, DWORD access, DWORD share, DWORD successCode);
    OpenFile* FileOrNull(Handle h) const;
    // The checks of a call on an open handle, in the order they report: the handle, the access
    // it was opened with (neededAccess; 0 when none is needed), then the medium.
    DWORD Usable(Handle h, DWORD neededAccess, OpenFile** out) const;
    // ReadFile's and WriteFile's checks before a byte moves; *done is 0 from here on.
    DWORD StartTransfer(Handle h, DWORD neededAccess, const void* buffer, DWORD count, DWORD* done,
                        OpenFile** out) const;
    // Why a backup-stream call on h cannot go on; 0 when it can. An abort always can, and a
    // handle that is not open is the stream's to report (after its own argument checks).
    DWORD StreamRefusal(Handle h, BOOL abort, DWORD neededAccess) const;

    // Hands out the first item of what a find found and keeps the rest for the Next calls.
    template <typename Found, typename Item>
    Handle Begin(std::map<Handle, Found>& open, Found found, Item* first) {
        *first = found.items[0];
        found.next = 1;
        const Handle h = nextHandle_++;
        open[h] = std::move(found);
        return h;
    }

    static FindData Describe(const Node& node, const std::string& name);
    static void Visit(const Node& dir, const std::string& path,
                      const std::function<void(const MemoryEntryView&)>& visit);

    std::array<std::unique_ptr<Drive>, 26> drives_;
    std::map<Handle, std::unique_ptr<OpenFile>> files_;
    std::map<Handle, Listing> listings_;
    std::map<Handle, Enumeration<std::string>> volumeLists_;
    Handle nextHandle_ = 0x100;
    std::vector<UINT> events_;
    std::uint64_t clock_ = 0;
};

} // namespace platform::memory
