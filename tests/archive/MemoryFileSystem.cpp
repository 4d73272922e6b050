#include "MemoryFileSystem.h"

#include "platform/api/LastError.h"

#include <algorithm>
#include <cstring>

namespace test {

namespace {
std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return u;
}
} // namespace

MemoryFileSystem::MemoryFileSystem() = default;

void MemoryFileSystem::AddDrive(char letter) {
    Node root;
    root.directory = true;
    root.attributes = FILE_ATTRIBUTE_DIRECTORY;
    nodes_[Upper(std::string(1, letter)) + ":"] = root;
}

std::string MemoryFileSystem::Key(std::string_view path, DWORD* error) const {
    if (path.size() < 2 || path[1] != ':') {
        *error = ERROR_INVALID_NAME;
        return "";
    }
    std::string key = Upper(path.substr(0, 2));
    std::size_t i = 2;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '\\') {
            ++i;
        }
        std::size_t j = path.find('\\', i);
        j = j == std::string_view::npos ? path.size() : j;
        if (j > i) {
            const std::string_view name = path.substr(i, j - i);
            if (name == "." || name == ".." || name.find('/') != std::string_view::npos) {
                *error = ERROR_ACCESS_DENIED; // would leave the drive
                return "";
            }
            key += "\\" + Upper(name);
        }
        i = j;
    }
    if (!nodes_.count(key.substr(0, 2))) {
        *error = ERROR_PATH_NOT_FOUND;
        return "";
    }
    return key;
}

std::string MemoryFileSystem::Parent(const std::string& key) {
    const auto at = key.rfind('\\');
    return at == std::string::npos ? "" : key.substr(0, at);
}

BOOL MemoryFileSystem::Fail(DWORD error) {
    platform::SetLastError(error);
    return FALSE;
}

bool MemoryFileSystem::Faulted(const std::string& call, const std::string& path) {
    if (fault) {
        if (const DWORD e = fault(call, path)) {
            platform::SetLastError(e);
            return true;
        }
    }
    return false;
}

MemoryFileSystem::Node* MemoryFileSystem::NodeOf(platform::Handle h) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) {
        return nullptr;
    }
    const auto n = nodes_.find(it->second.key);
    return n == nodes_.end() ? nullptr : &n->second;
}

void MemoryFileSystem::MakeDirectory(const std::string& path, DWORD attributes, FILETIME t) {
    DWORD e = 0;
    const std::string key = Key(path, &e);
    Node& n = nodes_[key];
    n.name = path.substr(path.find_last_not_of('\\') == std::string::npos ? 0 : 0);
    std::string trimmed = path;
    while (!trimmed.empty() && trimmed.back() == '\\') {
        trimmed.pop_back();
    }
    n.name = trimmed.substr(trimmed.rfind('\\') + 1);
    n.directory = true;
    n.attributes = attributes;
    n.creation = n.lastAccess = n.lastWrite = t;
    nodes_[Parent(key)].children.push_back(key);
}

void MemoryFileSystem::MakeFile(const std::string& path, const std::vector<std::uint8_t>& data,
                                DWORD attributes, FILETIME t) {
    DWORD e = 0;
    const std::string key = Key(path, &e);
    const bool fresh = !nodes_.count(key);
    Node& n = nodes_[key];
    n.name = path.substr(path.rfind('\\') + 1);
    n.attributes = attributes;
    n.data = data;
    n.creation = n.lastAccess = n.lastWrite = t;
    if (fresh) {
        nodes_[Parent(key)].children.push_back(key);
    }
}

const MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) const {
    DWORD e = 0;
    const auto it = nodes_.find(Key(path, &e));
    return it == nodes_.end() ? nullptr : &it->second;
}

std::vector<std::uint8_t> MemoryFileSystem::Contents(const std::string& path) const {
    const Node* n = Find(path);
    return n != nullptr ? n->data : std::vector<std::uint8_t>{};
}

std::vector<std::string> MemoryFileSystem::AllPaths(char letter) const {
    std::vector<std::string> out;
    std::function<void(const std::string&)> walk = [&](const std::string& key) {
        for (const std::string& child : nodes_.at(key).children) {
            out.push_back(child);
            walk(child);
        }
    };
    walk(Upper(std::string(1, letter)) + ":");
    return out;
}

platform::Handle MemoryFileSystem::OpenForTest(const std::string& path, DWORD access, DWORD disposition) {
    return CreateFile(path, access, FILE_SHARE_NONE, disposition, 0);
}

platform::Handle MemoryFileSystem::CreateFile(std::string_view path, DWORD access, DWORD, DWORD disposition,
                                              DWORD flags) {
    if (Faulted("CreateFile", std::string(path))) {
        return platform::InvalidHandle;
    }
    DWORD error = 0;
    const std::string key = Key(path, &error);
    if (key.empty()) {
        Fail(error);
        return platform::InvalidHandle;
    }
    auto it = nodes_.find(key);
    if (it != nodes_.end()) {
        if (it->second.directory && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
            Fail(ERROR_ACCESS_DENIED);
            return platform::InvalidHandle;
        }
        if (disposition == CREATE_NEW) {
            Fail(ERROR_FILE_EXISTS);
            return platform::InvalidHandle;
        }
        if (disposition == CREATE_ALWAYS && (it->second.attributes & FILE_ATTRIBUTE_READONLY)) {
            Fail(ERROR_ACCESS_DENIED);
            return platform::InvalidHandle;
        }
        if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            it->second.data.clear();
        }
        platform::SetLastError(disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS
                                   ? ERROR_ALREADY_EXISTS
                                   : ERROR_SUCCESS);
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            Fail(nodes_.count(Parent(key)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
            return platform::InvalidHandle;
        }
        const auto parent = nodes_.find(Parent(key));
        if (parent == nodes_.end() || !parent->second.directory) {
            Fail(ERROR_PATH_NOT_FOUND);
            return platform::InvalidHandle;
        }
        Node n;
        n.name = std::string(path.substr(path.rfind('\\') + 1));
        n.attributes = FILE_ATTRIBUTE_ARCHIVE;
        nodes_[key] = n;
        parent->second.children.push_back(key);
    }
    const platform::Handle h = nextHandle_++;
    handles_[h] = Open{key, (access & GENERIC_WRITE) != 0, 0, {}, 0};
    return h;
}

BOOL MemoryFileSystem::ReadFile(platform::Handle h, void* buffer, DWORD toRead, DWORD* read) {
    *read = 0;
    Node* n = NodeOf(h);
    if (n == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Faulted("ReadFile", "")) {
        return FALSE;
    }
    Open& o = handles_[h];
    const std::uint64_t left = o.position < n->data.size() ? n->data.size() - o.position : 0;
    const auto count = static_cast<DWORD>(std::min<std::uint64_t>(left, toRead));
    std::memcpy(buffer, n->data.data() + o.position, count);
    o.position += count;
    *read = count;
    return TRUE;
}

BOOL MemoryFileSystem::WriteFile(platform::Handle h, const void* buffer, DWORD toWrite, DWORD* written) {
    *written = 0;
    Node* n = NodeOf(h);
    if (n == nullptr || !handles_[h].write) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Faulted("WriteFile", "")) {
        return FALSE;
    }
    Open& o = handles_[h];
    if (n->data.size() < o.position + toWrite) {
        n->data.resize(o.position + toWrite);
    }
    std::memcpy(n->data.data() + o.position, buffer, toWrite);
    o.position += toWrite;
    *written = toWrite;
    return TRUE;
}

BOOL MemoryFileSystem::CloseHandle(platform::Handle h) {
    if (!handles_.erase(h)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return Faulted("CloseHandle", "") ? FALSE : TRUE;
}

BOOL MemoryFileSystem::GetFileSize(platform::Handle h, std::uint64_t* size) {
    Node* n = NodeOf(h);
    if (n == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    *size = n->data.size();
    return TRUE;
}

DWORD MemoryFileSystem::GetFileAttributes(std::string_view path) {
    if (Faulted("GetFileAttributes", std::string(path))) {
        return INVALID_FILE_ATTRIBUTES;
    }
    const Node* n = Find(std::string(path));
    if (n == nullptr) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return n->attributes;
}

BOOL MemoryFileSystem::SetFileAttributes(std::string_view path, DWORD attributes) {
    DWORD e = 0;
    const auto it = nodes_.find(Key(path, &e));
    if (it == nodes_.end()) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    // The directory bit is the file system's, not the caller's.
    it->second.attributes =
        (attributes & ~FILE_ATTRIBUTE_DIRECTORY) | (it->second.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    return TRUE;
}

BOOL MemoryFileSystem::GetFileTime(platform::Handle h, FILETIME* c, FILETIME* a, FILETIME* w) {
    Node* n = NodeOf(h);
    if (n == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Faulted("GetFileTime", "")) {
        return FALSE;
    }
    if (c)
        *c = n->creation;
    if (a)
        *a = n->lastAccess;
    if (w)
        *w = n->lastWrite;
    return TRUE;
}

BOOL MemoryFileSystem::SetFileTime(platform::Handle h, const FILETIME* c, const FILETIME* a,
                                   const FILETIME* w) {
    Node* n = NodeOf(h);
    if (n == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (c)
        n->creation = *c;
    if (a)
        n->lastAccess = *a;
    if (w)
        n->lastWrite = *w;
    return TRUE;
}

BOOL MemoryFileSystem::CreateDirectory(std::string_view path) {
    if (Faulted("CreateDirectory", std::string(path))) {
        return FALSE;
    }
    DWORD error = 0;
    const std::string key = Key(path, &error);
    if (key.empty()) {
        return Fail(error);
    }
    if (nodes_.count(key)) {
        return Fail(ERROR_ALREADY_EXISTS);
    }
    const auto parent = nodes_.find(Parent(key));
    if (parent == nodes_.end() || !parent->second.directory) {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    std::string trimmed(path);
    while (!trimmed.empty() && trimmed.back() == '\\') {
        trimmed.pop_back();
    }
    Node n;
    n.name = trimmed.substr(trimmed.rfind('\\') + 1);
    n.directory = true;
    n.attributes = FILE_ATTRIBUTE_DIRECTORY;
    nodes_[key] = n;
    parent->second.children.push_back(key);
    return TRUE;
}

BOOL MemoryFileSystem::DeleteFile(std::string_view path) {
    DWORD e = 0;
    const std::string key = Key(path, &e);
    const auto it = nodes_.find(key);
    if (it == nodes_.end() || it->second.directory) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    nodes_.erase(it);
    auto& siblings = nodes_[Parent(key)].children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    return TRUE;
}

BOOL MemoryFileSystem::MoveFileReplace(std::string_view, std::string_view) {
    return Fail(ERROR_NOT_SUPPORTED);
}

DWORD MemoryFileSystem::DeleteTree(std::string_view path) {
    DWORD e = 0;
    const std::string key = Key(path, &e);
    if (!nodes_.count(key)) {
        return ERROR_FILE_NOT_FOUND;
    }
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        it = (it->first == key || it->first.rfind(key + "\\", 0) == 0) ? nodes_.erase(it) : std::next(it);
    }
    auto& siblings = nodes_[Parent(key)].children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    return 0;
}

platform::FindData MemoryFileSystem::FindDataOf(const Node& node, const std::string& name) const {
    platform::FindData d;
    d.attributes = node.attributes;
    d.creationTime = node.creation;
    d.lastAccessTime = node.lastAccess;
    d.lastWriteTime = node.lastWrite;
    d.fileSize = node.data.size();
    d.fileName = name;
    return d;
}

platform::Handle MemoryFileSystem::FindFirstFile(std::string_view pattern, platform::FindData* data) {
    if (Faulted("FindFirstFile", std::string(pattern))) {
        return platform::InvalidHandle;
    }
    std::vector<platform::FindData> listing;
    DWORD error = 0;
    if (pattern.size() >= 3 && pattern.substr(pattern.size() - 3) == "*.*") {
        const std::string key = Key(pattern.substr(0, pattern.size() - 3), &error);
        const auto it = nodes_.find(key);
        if (key.empty() || it == nodes_.end()) {
            Fail(ERROR_PATH_NOT_FOUND);
            return platform::InvalidHandle;
        }
        if (key.size() > 2) {
            listing.push_back(FindDataOf(it->second, "."));
            listing.push_back(FindDataOf(it->second, ".."));
        }
        for (const std::string& child : it->second.children) {
            listing.push_back(FindDataOf(nodes_.at(child), nodes_.at(child).name));
        }
    } else if (const Node* n = Find(std::string(pattern))) {
        listing.push_back(FindDataOf(*n, n->name));
    }
    if (listing.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return platform::InvalidHandle;
    }
    *data = listing[0];
    const platform::Handle h = nextHandle_++;
    handles_[h] = Open{"", false, 0, std::move(listing), 1};
    return h;
}

BOOL MemoryFileSystem::FindNextFile(platform::Handle h, platform::FindData* data) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Faulted("FindNextFile", "")) {
        return FALSE;
    }
    if (it->second.next >= it->second.listing.size()) {
        return Fail(ERROR_NO_MORE_FILES);
    }
    *data = it->second.listing[it->second.next++];
    return TRUE;
}

BOOL MemoryFileSystem::FindClose(platform::Handle h) {
    return handles_.erase(h) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL MemoryFileSystem::BackupRead(platform::Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read,
                                  BOOL abort, void** context) {
    *read = 0;
    if (abort) {
        delete static_cast<BackupState*>(*context);
        *context = nullptr;
        return TRUE;
    }
    Node* n = NodeOf(h);
    if (n == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Faulted("BackupRead", "")) {
        return FALSE;
    }
    if (*context == nullptr) {
        *context = new BackupState;
    }
    auto* state = static_cast<BackupState*>(*context);
    if (n->directory) {
        return TRUE;
    }
    std::uint8_t header[20] = {};
    header[0] = BACKUP_DATA;
    const std::uint64_t size = n->data.size();
    for (int i = 0; i < 8; ++i) {
        header[8 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    }
    const std::uint64_t total = 20 + size;
    while (*read < toRead && state->offset < total) {
        buffer[(*read)++] = state->offset < 20 ? header[state->offset] : n->data[state->offset - 20];
        ++state->offset;
    }
    return TRUE;
}

BOOL MemoryFileSystem::BackupWrite(platform::Handle h, const std::uint8_t* buffer, DWORD toWrite,
                                   DWORD* written, BOOL abort, void** context) {
    *written = 0;
    if (abort) {
        delete static_cast<BackupState*>(*context);
        *context = nullptr;
        return TRUE;
    }
    backupWriteSizes.push_back(toWrite);
    Node* n = NodeOf(h);
    if (n == nullptr || n->directory) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (Faulted("BackupWrite", "")) {
        return FALSE;
    }
    if (*context == nullptr) {
        *context = new BackupState;
    }
    auto* s = static_cast<BackupState*>(*context);
    DWORD i = 0;
    while (i < toWrite) {
        if (s->skip == 0 && s->data == 0 && s->header.size() < 20) {
            s->header.push_back(buffer[i++]);
            if (s->header.size() == 4 || s->header.size() == 20) {
                std::uint32_t id = 0;
                std::memcpy(&id, s->header.data(), 4);
                if (id == 0 || id > 11) {
                    return Fail(ERROR_INVALID_DATA);
                }
                if (s->header.size() == 20) {
                    s->id = id;
                    std::memcpy(&s->data, s->header.data() + 8, 8);
                    std::uint32_t nameSize = 0;
                    std::memcpy(&nameSize, s->header.data() + 16, 4);
                    s->skip = nameSize;
                }
            }
            continue;
        }
        if (s->skip > 0) {
            const auto k = std::min<std::uint64_t>(s->skip, toWrite - i);
            s->skip -= k;
            i += static_cast<DWORD>(k);
        } else {
            const auto k = static_cast<DWORD>(std::min<std::uint64_t>(s->data, toWrite - i));
            if (s->id == BACKUP_DATA) {
                if (k > freeBytes) {
                    return Fail(ERROR_DISK_FULL);
                }
                freeBytes -= k;
                n->data.insert(n->data.end(), buffer + i, buffer + i + k);
            }
            s->data -= k;
            i += k;
        }
        if (s->skip == 0 && s->data == 0 && s->header.size() == 20) {
            s->header.clear();
        }
        *written = i;
    }
    *written = toWrite;
    return TRUE;
}

} // namespace test
