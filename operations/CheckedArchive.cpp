#include "operations/CheckedArchive.h"

#include "operations/ArchiveFile.h"
#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"
#include "platform/api/LastError.h"

#include <cstring>

namespace operations {

void CheckedArchive::Close() {
    CloseReadHandle(fs_, handle_);
    handle_ = platform::InvalidHandle;
}

std::string ArchiveDamagedMessage(const std::string& path) {
    return "The file " + path +
           " is damaged or is not a VoxHarbor greeting & data file.  The VoxHarbor card has not been "
           "changed.";
}

bool OpenCheckedArchive(CardUtilityDialog& dlg, const std::string& path, CheckedArchive* archive) {
    platform::FileSystem& fs = dlg.Files();
    archive->Close();
    archive->version.clear();
    archive->entries.clear();
    DWORD error = ERROR_SUCCESS;
    archive->handle_ = OpenArchiveForExtraction(fs, path, &archive->size_, &error);
    if (archive->handle_ == platform::InvalidHandle) {
        ShowMessage(dlg, ArchiveOpenFailedMessage(path, error));
        return false;
    }
    const archive::ArchiveCheck check = archive::CheckArchive(fs, archive->handle_, archive->size_, true,
                                                              [&](const archive::CheckedEntry& e) {
                                                                  if (e.kind != archive::EntryKind::Other) {
                                                                      archive->entries.push_back(e);
                                                                  }
                                                              });
    if (!check.Sound()) {
        archive->Close();
        ShowMessage(dlg, check.readError != ERROR_SUCCESS ? ArchiveReadErrorMessage(path, check.readError)
                                                          : ArchiveDamagedMessage(path));
        return false;
    }
    archive->version = check.version;
    archive->sums = check.sums;
    // Back to the start for the extraction; file services that cannot move there open it again.
    if (!fs.SetFilePointer(archive->handle_, 0)) {
        archive->Close();
        std::uint64_t size = 0;
        archive->handle_ = OpenArchiveForExtraction(fs, path, &size, &error);
        if (archive->handle_ == platform::InvalidHandle) {
            ShowMessage(dlg, ArchiveOpenFailedMessage(path, error));
            return false;
        }
        if (size != archive->size_) {
            // Changed since it was checked: what would be written is not what was checked.
            archive->Close();
            ShowMessage(dlg, ArchiveDamagedMessage(path));
            return false;
        }
    }
    return true;
}

bool ExtractionDeletesPrompts(const std::string& archiveVersion, const std::string& cardVersion) {
    std::string card = cardVersion.substr(0, archive::VersionFieldSize);
    card.resize(strnlen(card.c_str(), card.size()));
    return !card.empty() && archiveVersion != card;
}

namespace {

// Clusters of the card, and what its listing says of the entries an extraction touches.
class CardSpace {
public:
    CardSpace(platform::FileSystem& fs, std::uint64_t clusterBytes) : fs_(fs), clusterBytes_(clusterBytes) {}

    std::uint64_t Clusters(std::uint64_t bytes) const { return (bytes + clusterBytes_ - 1) / clusterBytes_; }

    // The clusters an existing entry at path holds (a directory: its own cluster), 0 if none.
    std::uint64_t Held(std::string path) const {
        while (path.size() > 3 && path.back() == '\\') {
            path.pop_back();
        }
        platform::FindData found;
        const platform::Handle h = fs_.FindFirstFile(path, &found);
        if (h == platform::InvalidHandle) {
            return 0;
        }
        fs_.FindClose(h);
        return (found.attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : Clusters(found.fileSize);
    }

    // The clusters of a whole tree: its files and its directories.
    std::uint64_t Tree(const std::string& directory) const {
        std::uint64_t total = 1;
        platform::FindData found;
        const platform::Handle h = fs_.FindFirstFile(directory + "\\*.*", &found);
        if (h == platform::InvalidHandle) {
            return 0;
        }
        do {
            if (found.fileName == "." || found.fileName == "..") {
                continue;
            }
            total += (found.attributes & FILE_ATTRIBUTE_DIRECTORY) ? Tree(directory + "\\" + found.fileName)
                                                                   : Clusters(found.fileSize);
        } while (fs_.FindNextFile(h, &found));
        fs_.FindClose(h);
        return total;
    }

private:
    platform::FileSystem& fs_;
    std::uint64_t clusterBytes_;
};

} // namespace

bool ArchiveFitsCard(CardUtilityDialog& dlg, const CheckedArchive& archive, const std::string& cardRoot,
                     Room room) {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!dlg.Drives().GetDiskFreeSpace(cardRoot, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                       &totalClusters) ||
        sectorsPerCluster == 0 || bytesPerSector == 0) {
        // The card does not tell its size: the extraction still stops with the card-full
        // message if it runs out of room.
        return true;
    }
    const CardSpace card(dlg.Files(), std::uint64_t{sectorsPerCluster} * bytesPerSector);
    const bool keepPrompts = room == Room::KeepPrompts;
    auto restored = [&](const archive::CheckedEntry& e) {
        return !(keepPrompts && archive::IsUnderPromptDirectory(e.header.path));
    };
    auto needs = [&](const archive::CheckedEntry& e) -> std::uint64_t {
        return e.kind == archive::EntryKind::Directory ? 1 : card.Clusters(e.dataBytes);
    };

    std::uint64_t needed = 0;
    for (const archive::CheckedEntry& e : archive.entries) {
        needed += restored(e) ? needs(e) : 0;
    }
    std::uint64_t available = room == Room::EmptyCard ? totalClusters : freeClusters;
    if (needed <= available) {
        return true;
    }
    if (room == Room::EmptyCard) {
        ShowMessage(dlg, archive::CardFullMessage);
        return false;
    }

    // It does not fit beside everything on the card: count what the extraction frees first.
    const std::string root = cardRoot.substr(0, 3);
    const bool deletes = room == Room::ReplacePromptsAfterDeleting;
    if (deletes) {
        available += card.Tree(root + "VM\\PROMPTS");
    }
    for (const archive::CheckedEntry& e : archive.entries) {
        if (!restored(e) || (deletes && archive::IsUnderPromptDirectory(e.header.path))) {
            continue;
        }
        // A file is replaced and a directory reused: what they hold now counts as room.
        const std::uint64_t held = card.Held(root + e.header.path.substr(3));
        needed -= std::min(needed, std::min(held, needs(e)));
        available += held > needs(e) ? held - needs(e) : 0;
    }
    if (needed > available) {
        ShowMessage(dlg, archive::CardFullMessage);
        return false;
    }
    return true;
}

} // namespace operations
