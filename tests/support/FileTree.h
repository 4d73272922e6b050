// A drive's whole tree as the program's file services see it: every entry's attribute word,
// times and content, for checking that an operation changed exactly what it should.
#pragma once

#include "platform/api/FileSystem.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace fktest {

struct EntryState {
    DWORD attributes = 0;
    FILETIME creation;
    FILETIME lastAccess;
    FILETIME lastWrite;
    std::string content; // files only
    friend bool operator==(const EntryState&, const EntryState&) = default;
};

// Keyed by the path below the root the snapshot started from ("VM\\MSG\\M0001.VOX").
using Tree = std::map<std::string, EntryState>;

inline void AddTreeBelow(platform::FileSystem& fs, const std::string& root, const std::string& below,
                         Tree& tree) {
    platform::FindData data;
    const platform::Handle h = fs.FindFirstFile(root + below + "*.*", &data);
    if (h == platform::InvalidHandle) {
        return;
    }
    do {
        if (data.fileName == "." || data.fileName == "..") {
            continue;
        }
        const std::string path = below + data.fileName;
        EntryState& entry = tree[path];
        entry = {data.attributes, data.creationTime, data.lastAccessTime, data.lastWriteTime, {}};
        if (data.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            AddTreeBelow(fs, root, path + "\\", tree);
            continue;
        }
        const platform::Handle f =
            fs.CreateFile(root + path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        if (f == platform::InvalidHandle) {
            ADD_FAILURE() << "cannot read " << root + path;
            continue;
        }
        char buffer[4096];
        DWORD read = 0;
        while (fs.ReadFile(f, buffer, sizeof buffer, &read) && read > 0) {
            entry.content.append(buffer, read);
        }
        fs.CloseHandle(f);
    } while (fs.FindNextFile(h, &data));
    fs.FindClose(h);
}

// root ends in a separator: "E:\\".
inline Tree SnapshotTree(platform::FileSystem& fs, const std::string& root) {
    Tree tree;
    AddTreeBelow(fs, root, "", tree);
    return tree;
}

// "" when the trees are equal, else one line per missing, changed or extra entry.
inline std::string Difference(const Tree& expected, const Tree& actual) {
    auto describe = [](const EntryState& e) {
        std::ostringstream out;
        out << "attributes " << e.attributes << ", times " << e.creation.Value() << "/"
            << e.lastAccess.Value() << "/" << e.lastWrite.Value() << ", " << e.content.size() << " bytes";
        return out.str();
    };
    std::ostringstream out;
    for (const auto& [path, e] : expected) {
        auto it = actual.find(path);
        if (it == actual.end()) {
            out << "missing: " << path << "\n";
        } else if (!(it->second == e)) {
            out << "changed: " << path << ": " << describe(e) << " -> " << describe(it->second) << "\n";
        }
    }
    for (const auto& [path, e] : actual) {
        if (!expected.contains(path)) {
            out << "extra: " << path << "\n";
        }
    }
    return out.str();
}

} // namespace fktest
