// Archive -> card. The archive is untrusted: every stored path is checked before anything is
// written, and a file's data ends where its backup-stream records say.
#include "archive/Check.h"
#include "archive/Reader.h"
#include "platform/api/LastError.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

namespace archive {

std::string ReadArchiveVersion(platform::FileSystem& fs, const std::string& path) {
    // Open existing only: looking at a version must never create the file.
    const platform::Handle h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        return {}; // a missing or unreadable archive has no version
    }
    Block block{};
    DWORD read = 0;
    std::string version;
    // An archive that cannot be read has no version either; the caller compares an empty text.
    if (fs.ReadFile(h, block.data(), BlockSize, &read)) {
        version = VersionText(block.data(), read);
    }
    fs.CloseHandle(h); // read only: a failed close loses nothing
    return version;
}

namespace {

DWORD ErrorOr(DWORD fallback) {
    const DWORD e = platform::GetLastError();
    return e != ERROR_SUCCESS ? e : fallback;
}

class Extraction {
public:
    Extraction(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
               const std::string& cardRoot, const std::string& promptVersion,
               const ExtractCallbacks& callbacks, ExtractResult& result, bool keepPrompts)
        : fs_(fs), archive_(archive), in_(fs, archive, size), size_(size), cardRoot_(cardRoot),
          promptVersion_(promptVersion), callbacks_(callbacks), stats_(result), keepPrompts_(keepPrompts) {}

    bool Run();

private:
    struct DirectoryTimes {
        std::string path;
        FILETIME creation, lastAccess, lastWrite;
    };
    // A prompt slot's version file, held back until everything else is on the card: its stream,
    // or where that lies in the archive when it is too large to hold.
    struct VersionFile {
        std::string path;
        EntryHeader header;
        std::string stream;
        bool damaged = false;
        std::optional<std::uint64_t> dataOffset;
    };
    using Feed = std::function<StreamWalk(const StreamSink&)>;

    void AdvanceProgress(std::uint64_t count);
    void CompareVersions(const std::uint8_t* block);
    void RestoreDirectory(const std::string& path, const EntryHeader& header);
    // False when the extraction has to stop (card full, write error).
    bool RestoreFile(const std::string& path, const EntryHeader& header, const Feed& feed);
    // A slot's version file is what makes the card show a prompt version, and a restore onto a
    // card that shows the archive's version leaves its prompts as they are. Written last, it
    // cannot claim prompts that an interrupted extraction (power cut, pulled card) never wrote.
    bool HoldBack(const std::string& path, const EntryHeader& header);
    bool RestoreHeldBack(const VersionFile& held);
    // Reads the rest of the archive into the tally and compares it with the check's sums.
    bool SameAsChecked();
    bool Stop(DWORD error);

    platform::FileSystem& fs_;
    platform::Handle archive_;
    ArchiveInput in_;
    std::uint64_t size_;
    const std::string& cardRoot_;
    const std::string& promptVersion_;
    const ExtractCallbacks& callbacks_;
    ExtractResult& stats_;
    bool keepPrompts_;
    std::uint64_t stepSize_ = 0;
    std::uint64_t steps_ = 0;
    std::vector<DirectoryTimes> directories_;
    std::vector<VersionFile> versionFiles_;
    ArchiveTally tally_;
};

void Extraction::AdvanceProgress(std::uint64_t count) {
    // At most one step per handled block, so the bar may trail during a long file.
    if (count > stepSize_ * (steps_ + 1)) {
        ++steps_;
        if (callbacks_.progressStep) {
            callbacks_.progressStep();
        }
    }
}

void Extraction::CompareVersions(const std::uint8_t* block) {
    stats_.versionBlockSeen = true;
    std::string card = promptVersion_.substr(0, VersionFieldSize);
    card.resize(strnlen(card.c_str(), card.size()));
    if (!keepPrompts_ && VersionText(block, BlockSize) != card && !card.empty() &&
        callbacks_.deleteCardPrompts) {
        // The archive's prompts replace the card's whole, even if the extraction fails later.
        callbacks_.deleteCardPrompts();
    }
}

void Extraction::RestoreDirectory(const std::string& path, const EntryHeader& header) {
    // An existing directory is reused; one that cannot be made shows up as its entries fail.
    fs_.CreateDirectory(path);
    fs_.SetFileAttributes(path, header.attributes);
    // Opened only if it is there: opening a missing one "always" would make an empty file of its
    // name on some file systems, and that file would stand in the way of every later restore.
    const platform::Handle h =
        fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h != platform::InvalidHandle) {
        fs_.SetFileTime(h, &header.creationTime, &header.lastAccessTime, &header.lastWriteTime);
        fs_.CloseHandle(h);
    }
    // Entries restored into it may touch its times; they are set again at the end.
    directories_.push_back({path, header.creationTime, header.lastAccessTime, header.lastWriteTime});
    ++stats_.directoriesRestored;
}

bool Extraction::Stop(DWORD error) {
    stats_.failed = true;
    if (callbacks_.showMessage) {
        callbacks_.showMessage(error == ERROR_DISK_FULL ? CardFullMessage : CardWriteErrorMessage);
    }
    return false;
}

bool Extraction::HoldBack(const std::string& path, const EntryHeader& header) {
    // Version files are a few bytes; a larger one is read again from the archive at the end.
    constexpr std::size_t Largest = 4096;
    if (!IsPromptVersionFile(path)) {
        return false;
    }
    VersionFile held{path, header, {}, false, std::nullopt};
    const std::uint64_t dataOffset = in_.Pos();
    const StreamWalk walk = WalkEntryData(in_, [&](const std::uint8_t* data, std::size_t size) {
        if (held.stream.size() + size > Largest) {
            held.stream.clear();
            held.dataOffset = dataOffset;
            return SinkResult::StopFeeding;
        }
        held.stream.append(reinterpret_cast<const char*>(data), size);
        return SinkResult::Continue;
    });
    held.damaged = walk.damaged;
    versionFiles_.push_back(std::move(held));
    return true;
}

bool Extraction::RestoreHeldBack(const VersionFile& held) {
    const auto replay = [&](const StreamSink& sink) {
        if (held.dataOffset) {
            ArchiveInput again(fs_, archive_, size_, *held.dataOffset);
            if (fs_.SetFilePointer(archive_, *held.dataOffset)) {
                return WalkEntryData(again, sink);
            }
            StreamWalk unread;
            unread.damaged = true; // the file services cannot go back to it: it stays incomplete
            return unread;
        }
        StreamWalk walk;
        walk.damaged = held.damaged;
        if (sink) {
            sink(reinterpret_cast<const std::uint8_t*>(held.stream.data()), held.stream.size());
        }
        return walk;
    };
    return RestoreFile(held.path, held.header, replay);
}

bool Extraction::SameAsChecked() {
    if (callbacks_.checked == nullptr) {
        return true;
    }
    in_.Skip(size_ - in_.Pos()); // read through: the tally counts every byte
    if (in_.ReadError() == ERROR_SUCCESS && SumsOf(tally_) == *callbacks_.checked) {
        return true;
    }
    stats_.changedSinceCheck = in_.ReadError() == ERROR_SUCCESS;
    stats_.failed = true;
    return false;
}

bool Extraction::RestoreFile(const std::string& path, const EntryHeader& header, const Feed& feed) {
    platform::Handle h = fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    if (h == platform::InvalidHandle && platform::GetLastError() == ERROR_ACCESS_DENIED) {
        // A read-only file of that name would keep its old contents: clear the bit and retry.
        const DWORD existing = fs_.GetFileAttributes(path);
        if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_DIRECTORY) &&
            (existing & FILE_ATTRIBUTE_READONLY) &&
            fs_.SetFileAttributes(path, existing & ~FILE_ATTRIBUTE_READONLY)) {
            h = fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        }
    }
    if (h == platform::InvalidHandle) {
        // Error 6 of the table: the entry's data is passed over, the extraction goes on.
        ++stats_.filesIncomplete;
        const StreamWalk walk = feed(nullptr);
        stats_.entriesDamaged += walk.damaged ? 1 : 0;
        return true;
    }

    void* context = nullptr;
    bool incomplete = false;
    DWORD fatal = ERROR_SUCCESS;
    const StreamWalk walk = feed([&](const std::uint8_t* data, std::size_t size) {
        DWORD written = 0;
        platform::SetLastError(ERROR_SUCCESS);
        const BOOL ok = fs_.BackupWrite(h, data, static_cast<DWORD>(size), &written, FALSE, &context);
        const DWORD error = ok ? ERROR_SUCCESS : ErrorOr(ERROR_WRITE_FAULT);
        if (error == ERROR_SUCCESS && written == size) {
            return SinkResult::Continue;
        }
        if (error == ERROR_SUCCESS || error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_DATA) {
            incomplete = true; // the file's data ends here; the next entry follows as usual
            return SinkResult::StopFeeding;
        }
        fatal = error;
        return SinkResult::Abort;
    });
    stats_.entriesDamaged += walk.damaged ? 1 : 0;

    DWORD ignored = 0;
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs_.BackupWrite(h, nullptr, 0, &ignored, TRUE, &context) && fatal == ERROR_SUCCESS) {
        const DWORD error = ErrorOr(ERROR_WRITE_FAULT);
        if (error != ERROR_INVALID_HANDLE && error != ERROR_INVALID_DATA) {
            fatal = error;
        }
    }
    if (fatal != ERROR_SUCCESS) {
        fs_.CloseHandle(h); // the extraction stops; the close adds nothing to the message
        return Stop(fatal);
    }
    // Times last, so that writing the data cannot move them.
    fs_.SetFileTime(h, &header.creationTime, &header.lastAccessTime, &header.lastWriteTime);
    platform::SetLastError(ERROR_SUCCESS);
    if (!fs_.CloseHandle(h)) {
        // The card could not take the file's last bytes.
        return Stop(ErrorOr(ERROR_WRITE_FAULT));
    }
    fs_.SetFileAttributes(path, header.attributes);
    if (incomplete) {
        ++stats_.filesIncomplete;
    } else {
        ++stats_.filesRestored;
    }
    return true;
}

bool Extraction::Run() {
    if (!IsDriveRoot(cardRoot_)) {
        stats_.failed = true;
        return false;
    }
    stepSize_ = size_ / 100;
    if (callbacks_.checked != nullptr) {
        in_.CountInto(&tally_);
        // The integrity record's block is left out, as the check leaves it out.
        if (in_.Fill(2 * BlockSize) == 2 * BlockSize && IsIntegrityBlock(in_.Data() + BlockSize)) {
            in_.Uncounted(BlockSize, 2 * BlockSize);
        }
    }
    // The bar is looked at once the first block is read, then before every later block handled.
    AdvanceProgress(in_.Fill(BlockSize));
    for (bool first = true;; first = false) {
        const std::size_t got = in_.Fill(BlockSize);
        const std::uint64_t count = in_.Pos() + got;
        // A block is handled while more of the archive follows it; a trailing partial block
        // can only be data.
        if (got < BlockSize || count >= size_) {
            break;
        }
        if (!first) {
            AdvanceProgress(count);
        }
        const std::uint8_t* block = in_.Data();
        if (!stats_.versionBlockSeen) {
            CompareVersions(block);
        }
        const DecodedHeader decoded = DecodeHeader(block);
        const EntryHeader& header = decoded.header;
        const EntryKind kind = KindOf(header.attributes);
        if (!decoded.attributesOk || kind == EntryKind::Other) {
            // Version block, a directory's zero block, or a block that is no entry header.
            stats_.entriesRefused += (!decoded.attributesOk && LooksLikeHeader(block)) ? 1 : 0;
            PassOverBlocks(in_);
            continue;
        }
        const bool safe = decoded.timesOk && UnsafePathReason(header.path).empty();
        const std::string path = cardRoot_ + header.path.substr(std::min<std::size_t>(3, header.path.size()));
        in_.Consume(BlockSize);
        if (!safe || (keepPrompts_ && IsUnderPromptDirectory(path))) {
            ++(safe ? stats_.entriesKeptOnCard : stats_.entriesRefused);
            stats_.entriesDamaged += WalkEntryData(in_, nullptr).damaged ? 1 : 0;
            continue;
        }
        if (kind == EntryKind::Directory) {
            RestoreDirectory(path, header);
            stats_.entriesDamaged += WalkEntryData(in_, nullptr).damaged ? 1 : 0;
        } else if (!(!keepPrompts_ && HoldBack(path, header)) &&
                   !RestoreFile(path, header,
                                [this](const StreamSink& sink) { return WalkEntryData(in_, sink); })) {
            return false;
        }
    }
    // A file that changed since its check has left on the card what it held now, not what was
    // checked: the version files, which make the card show its prompts as whole, stay away.
    if (!SameAsChecked() || in_.ReadError() != ERROR_SUCCESS) {
        // The archive itself could not be read: the card holds only part of it.
        stats_.archiveReadError = in_.ReadError();
        stats_.failed = true;
        return false;
    }
    // Slot 0's last of all: its version is the one the card shows.
    std::stable_partition(versionFiles_.begin(), versionFiles_.end(),
                          [](const VersionFile& held) { return !IsShownVersionFile(held.path); });
    for (std::size_t i = 0; i < versionFiles_.size(); ++i) {
        const VersionFile& held = versionFiles_[i];
        // Everything else is on the card before the first version file is written, and the other
        // slots' before slot 0's: an extraction cut off at any point leaves no version that claims
        // prompts the card lacks, however the card's file system orders its own writes.
        if ((i == 0 || IsShownVersionFile(held.path)) && !fs_.FlushVolume(cardRoot_)) {
            return Stop(platform::GetLastError());
        }
        if (!RestoreHeldBack(held)) {
            return false;
        }
    }
    for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) {
        const platform::Handle h = fs_.CreateFile(it->path, GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS);
        if (h != platform::InvalidHandle) {
            fs_.SetFileTime(h, &it->creation, &it->lastAccess, &it->lastWrite);
            fs_.CloseHandle(h);
        }
    }
    return true;
}

ExtractResult Extract(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                      const std::string& cardRoot, const std::string& promptVersion, bool versionBlockSeen,
                      const ExtractCallbacks& callbacks, bool keepPrompts) {
    ExtractResult result;
    result.versionBlockSeen = versionBlockSeen;
    if (callbacks.progressCreate) {
        callbacks.progressCreate();
    }
    Extraction extraction(fs, archive, size, cardRoot, promptVersion, callbacks, result, keepPrompts);
    result.completed = extraction.Run();
    if (callbacks.progressDestroy) {
        callbacks.progressDestroy();
    }
    return result;
}

} // namespace

ExtractResult ExtractArchive(platform::FileSystem& fs, platform::Handle archive, std::uint64_t size,
                             const std::string& cardRoot, const std::string& promptVersion,
                             bool versionBlockSeen, const ExtractCallbacks& callbacks) {
    return Extract(fs, archive, size, cardRoot, promptVersion, versionBlockSeen, callbacks, false);
}

ExtractResult ExtractArchiveKeepPrompts(platform::FileSystem& fs, platform::Handle archive,
                                        std::uint64_t size, const std::string& cardRoot,
                                        const std::string& promptVersion, bool versionBlockSeen,
                                        const ExtractCallbacks& callbacks) {
    return Extract(fs, archive, size, cardRoot, promptVersion, versionBlockSeen, callbacks, true);
}

} // namespace archive
