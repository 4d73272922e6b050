#include "Compare.h"

#include "archive/Reader.h"

#include <cctype>
#include <map>
#include <optional>

namespace vhbtool {

namespace {

using archive::EntryKind;

// One entry as the folder holds it.
struct FolderEntry {
    std::string stored; // the path in the archive's form
    DWORD attributes = 0;
    std::uint64_t size = 0;
    FILETIME creation, lastWrite;
    bool seen = false; // met in the archive
};

// A path as the user knows it, below the root: "VM\MSG\M0001.VOX", a directory with a
// backslash after it.
std::string Shown(const std::string& stored) {
    std::string out;
    for (char c : stored.substr(std::min<std::size_t>(3, stored.size()))) {
        if (!(c == '\\' && (out.empty() || out.back() == '\\'))) {
            out.push_back(c);
        }
    }
    return out;
}

// Names compare as the card compares them: without regard to case.
std::string Key(const std::string& stored) {
    std::string key = Shown(stored);
    if (!key.empty() && key.back() == '\\') {
        key.pop_back();
    }
    for (char& c : key) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return key;
}

// The attribute word as a restore leaves it: the normal bit only where nothing else makes the
// entry a file or a directory (the writer adds it there, and it is dropped beside them).
DWORD AsRestored(DWORD attributes) {
    return (attributes & (archive::DirectoryBit | FILE_ATTRIBUTE_ARCHIVE)) != 0
               ? attributes & ~FILE_ATTRIBUTE_NORMAL
               : attributes | FILE_ATTRIBUTE_NORMAL;
}

std::string Hex(DWORD value) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    return "0x" + text;
}

// Everything below directory (stored form, ending in a backslash), as the writer walks it.
void ListFolder(platform::FileSystem& fs, const std::string& directory, std::vector<FolderEntry>* out) {
    platform::FindData found;
    const platform::Handle listing = fs.FindFirstFile(directory + "*.*", &found);
    if (listing == platform::InvalidHandle) {
        return;
    }
    do {
        const bool isDirectory = (found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isDirectory && (found.fileName.empty() || found.fileName[0] == '.')) {
            continue;
        }
        FolderEntry e;
        e.stored = isDirectory ? directory + "\\" + found.fileName + "\\" : directory + found.fileName;
        e.attributes = fs.GetFileAttributes(e.stored);
        e.size = isDirectory ? 0 : found.fileSize;
        const platform::Handle h = fs.CreateFile(e.stored, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                                 isDirectory ? FILE_FLAG_BACKUP_SEMANTICS : 0);
        if (h == platform::InvalidHandle || !fs.GetFileTime(h, &e.creation, nullptr, &e.lastWrite)) {
            e.creation = e.lastWrite = FILETIME::From(UINT64_MAX); // shows up as a difference
        }
        if (h != platform::InvalidHandle) {
            fs.CloseHandle(h); // read only: nothing to lose
        }
        out->push_back(e);
        if (isDirectory) {
            ListFolder(fs, e.stored, out);
        }
    } while (fs.FindNextFile(listing, &found));
    fs.FindClose(listing);
}

// Feeds the archive's stream of a file and compares it with the folder file's own backup stream,
// byte by byte; remembers where they first differ.
class StreamComparison {
public:
    StreamComparison(platform::FileSystem& fs, const std::string& path)
        : fs_(fs), h_(fs.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0)) {}
    ~StreamComparison() {
        if (h_ != platform::InvalidHandle) {
            DWORD ignored = 0;
            fs_.BackupRead(h_, nullptr, 0, &ignored, TRUE, &context_); // releases the read context
            fs_.CloseHandle(h_);                                       // read only: nothing to lose
        }
    }
    StreamComparison(const StreamComparison&) = delete;
    StreamComparison& operator=(const StreamComparison&) = delete;

    archive::SinkResult Feed(const std::uint8_t* data, std::size_t size) {
        std::vector<std::uint8_t> theirs(size);
        DWORD got = 0;
        for (std::size_t have = 0; have < size; have += got) {
            if (h_ == platform::InvalidHandle ||
                !fs_.BackupRead(h_, theirs.data() + have, static_cast<DWORD>(size - have), &got, FALSE,
                                &context_) ||
                got == 0) {
                theirs.resize(have);
                break;
            }
        }
        for (std::size_t i = 0; i < size; ++i) {
            if (i >= theirs.size() || theirs[i] != data[i]) {
                differsAt_ = offset_ + i;
                return archive::SinkResult::StopFeeding;
            }
        }
        offset_ += size;
        return archive::SinkResult::Continue;
    }
    // The first byte of the file's data that differs (the stream's record header comes first).
    std::optional<std::uint64_t> DataDiffersAt() const {
        if (!differsAt_) {
            return std::nullopt;
        }
        return *differsAt_ < BackupStreamHeaderSize ? 0 : *differsAt_ - BackupStreamHeaderSize;
    }

private:
    platform::FileSystem& fs_;
    platform::Handle h_;
    void* context_ = nullptr;
    std::uint64_t offset_ = 0;
    std::optional<std::uint64_t> differsAt_;
};

} // namespace

std::vector<std::string> CompareWithFolder(platform::FileSystem& archiveFiles, platform::Handle archiveHandle,
                                           std::uint64_t size, platform::FileSystem& folder,
                                           const std::string& root, bool withCreation) {
    std::vector<FolderEntry> listed;
    ListFolder(folder, root, &listed);
    std::map<std::string, FolderEntry*> byKey;
    for (FolderEntry& e : listed) {
        byKey[Key(e.stored)] = &e;
    }

    std::vector<std::string> differences;
    archive::ArchiveInput in(archiveFiles, archiveHandle, size);
    while (in.Fill(archive::BlockSize) == archive::BlockSize) {
        const archive::EntryHeader header = archive::DecodeHeader(in.Data()).header;
        const EntryKind kind = archive::KindOf(header.attributes);
        if (!archive::LooksLikeHeader(in.Data()) || kind == EntryKind::Other) {
            archive::PassOverBlocks(in); // the version block, the record, entries a restore passes over
            continue;
        }
        in.Consume(archive::BlockSize);
        const std::string name = Shown(header.path);
        const auto it = byKey.find(Key(header.path));
        FolderEntry* theirs = it == byKey.end() ? nullptr : it->second;
        const bool theirsDirectory =
            theirs != nullptr && (theirs->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (theirs == nullptr) {
            differences.push_back(name + ": only in the archive");
        } else if ((kind == EntryKind::Directory) != theirsDirectory) {
            differences.push_back(name + (theirsDirectory
                                              ? ": a file in the archive, a directory in the folder"
                                              : ": a directory in the archive, a file in the folder"));
        }
        const bool sameKind = theirs != nullptr && (kind == EntryKind::Directory) == theirsDirectory;
        if (theirs != nullptr) {
            theirs->seen = true;
        }
        if (!sameKind || kind == EntryKind::Directory) {
            archive::WalkEntryData(in, nullptr);
        } else {
            std::uint64_t dataBytes = 0;
            StreamComparison data(folder, theirs->stored);
            const archive::StreamWalk walk = archive::WalkEntryData(
                in, [&](const std::uint8_t* bytes, std::size_t n) { return data.Feed(bytes, n); });
            dataBytes = walk.dataBytes;
            if (dataBytes != theirs->size) {
                differences.push_back(name + ": size " + std::to_string(dataBytes) + " in the archive, " +
                                      std::to_string(theirs->size) + " in the folder");
            } else if (data.DataDiffersAt()) {
                differences.push_back(name + ": data differs from byte " +
                                      std::to_string(*data.DataDiffersAt()));
            }
        }
        if (!sameKind) {
            continue;
        }
        if (AsRestored(header.attributes) != AsRestored(theirs->attributes)) {
            differences.push_back(name + ": attributes " + Hex(AsRestored(header.attributes)) +
                                  " in the archive, " + Hex(AsRestored(theirs->attributes)) +
                                  " in the folder");
        }
        // The card's precision: FAT keeps creation times in 10 ms steps and write times in 2 s
        // steps, rounding one way or the other.
        const auto differ = [](FILETIME a, FILETIME b, std::uint64_t step) {
            const std::uint64_t x = a.Value(), y = b.Value();
            return (x > y ? x - y : y - x) >= step;
        };
        if (withCreation && differ(header.creationTime, theirs->creation, 100'000)) {
            differences.push_back(name + ": creation time " + std::to_string(header.creationTime.Value()) +
                                  " in the archive, " + std::to_string(theirs->creation.Value()) +
                                  " in the folder");
        }
        if (differ(header.lastWriteTime, theirs->lastWrite, 20'000'000)) {
            differences.push_back(name + ": last-write time " + std::to_string(header.lastWriteTime.Value()) +
                                  " in the archive, " + std::to_string(theirs->lastWrite.Value()) +
                                  " in the folder");
        }
    }
    if (in.ReadError() != 0) {
        differences.push_back("the archive could not be read to its end (error " +
                              std::to_string(in.ReadError()) + ")");
    }
    for (const FolderEntry& e : listed) {
        if (!e.seen) {
            differences.push_back(Shown(e.stored) + ": only in the folder");
        }
    }
    return differences;
}

} // namespace vhbtool
