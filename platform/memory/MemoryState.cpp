// The in-memory PC's drives and handles: the tree operations that keep the space in use, path
// lookups, and the checks of the Windows file functions in the order they report.
#include "platform/memory/MemoryState.h"

#include "platform/api/LastError.h"

#include <chrono>
#include <utility>

namespace platform::memory {

namespace {

std::shared_ptr<Node> SharedOf(const Node& dir, const Node& node) {
    for (const auto& child : dir.children) {
        if (child.get() == &node) {
            return child;
        }
    }
    return nullptr;
}

} // namespace

DWORD ParseDrivePath(std::string_view text, WinPath* out, bool wildcards) {
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

MemoryState::MemoryState(const std::vector<MemoryDriveConfig>& drives) {
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

DWORD MemoryState::WriteAt(OpenFile& f, const void* buffer, std::uint32_t count) {
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

std::shared_ptr<Node> MemoryState::NewNode(const std::string& name, bool directory) {
    auto node = std::make_shared<Node>();
    node->name = name;
    node->directory = directory;
    node->attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    node->creation = node->lastAccess = node->lastWrite = Now();
    return node;
}

std::uint64_t MemoryState::Now() const {
    if (clock_ != 0) {
        return clock_;
    }
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return UnixEpochAsFiletime +
           static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() /
                                      100);
}

Drive* MemoryState::DriveOf(char letter) const {
    const char upper = ToUpperAscii(std::string(1, letter))[0];
    return upper >= 'A' && upper <= 'Z' ? drives_[static_cast<std::size_t>(upper - 'A')].get() : nullptr;
}

void MemoryState::Attach(Drive& d, Node& dir, std::shared_ptr<Node> node) {
    node->parent = &dir;
    d.used += d.Footprint(*node);
    dir.children.push_back(std::move(node));
}

std::shared_ptr<Node> MemoryState::Detach(Drive& d, Node& node) {
    Node& dir = *node.parent;
    auto it = std::find_if(dir.children.begin(), dir.children.end(),
                           [&](const auto& child) { return child.get() == &node; });
    std::shared_ptr<Node> taken = std::move(*it);
    dir.children.erase(it);
    d.Release(d.Footprint(*taken));
    taken->parent = nullptr;
    return taken;
}

DWORD MemoryState::Locate(const WinPath& p, Target* t) const {
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

DWORD MemoryState::Resolve(std::string_view path, Target* t) const {
    WinPath p;
    if (const DWORD err = ParseDrivePath(path, &p)) {
        return err;
    }
    return Locate(p, t);
}

DWORD MemoryState::ResolveExisting(std::string_view path, Target* t) const {
    const DWORD err = Resolve(path, t);
    return err != ERROR_SUCCESS ? err : t->node == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

DWORD MemoryState::VolumeOf(std::string_view root, Drive** d) const {
    *d = DriveOf(DriveLetterOfRoot(root, VolumeTag));
    return *d == nullptr ? ERROR_PATH_NOT_FOUND : (*d)->config.media ? ERROR_SUCCESS : ERROR_NOT_READY;
}

bool MemoryState::IsOpenWithin(const Node& node) const {
    return std::any_of(files_.begin(), files_.end(), [&](const auto& entry) {
        const OpenFile& f = *entry.second;
        return IsLive(*f.drive, f.generation) && f.node->IsWithin(&node);
    });
}

DWORD MemoryState::MoveRefusal(const Target& src, const Target& dst) const {
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

Handle MemoryState::Open(const Target& t, DWORD access, DWORD share, DWORD successCode) {
    for (const auto& [h, other] : files_) {
        if (other->node.get() == t.node && IsLive(*other->drive, other->generation) &&
            !SharingAllows(access, share, other->access, other->share)) {
            return FailHandle(ERROR_SHARING_VIOLATION);
        }
    }
    auto f = std::make_unique<OpenFile>();
    f->state = this;
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

OpenFile* MemoryState::FileOrNull(Handle h) const {
    auto it = files_.find(h);
    return it == files_.end() ? nullptr : it->second.get();
}

DWORD MemoryState::Usable(Handle h, DWORD neededAccess, OpenFile** out) const {
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

DWORD MemoryState::StartTransfer(Handle h, DWORD neededAccess, const void* buffer, DWORD count, DWORD* done,
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

DWORD MemoryState::StreamRefusal(Handle h, BOOL abort, DWORD neededAccess) const {
    OpenFile* f = nullptr;
    const DWORD err = abort != FALSE ? ERROR_SUCCESS : Usable(h, neededAccess, &f);
    return err == ERROR_INVALID_HANDLE ? ERROR_SUCCESS : err;
}

FindData MemoryState::Describe(const Node& node, const std::string& name) {
    FindData data;
    data.attributes = node.attributes;
    data.creationTime = FILETIME::From(node.creation);
    data.lastAccessTime = FILETIME::From(node.lastAccess);
    data.lastWriteTime = FILETIME::From(node.lastWrite);
    data.fileSize = node.data.size();
    data.fileName = name;
    return data;
}

void MemoryState::Visit(const Node& dir, const std::string& path,
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

DWORD OpenFile::Write(const void* buffer, std::uint32_t count) {
    return state->WriteAt(*this, buffer, count);
}

} // namespace platform::memory
