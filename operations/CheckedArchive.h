// What Restore, Prompt update and Initialize do before the first change to a card: read the
// whole archive, and make sure that what it will write fits on the card.
#pragma once

#include "app/flashkeeper3dlg.h"
#include "archive/Check.h"

#include <string>
#include <vector>

namespace operations {

// An archive read whole and found sound, open at its start for its extraction.
class CheckedArchive {
public:
    explicit CheckedArchive(platform::FileSystem& fs) : fs_(fs) {}
    ~CheckedArchive() { Close(); }
    CheckedArchive(const CheckedArchive&) = delete;
    CheckedArchive& operator=(const CheckedArchive&) = delete;

    platform::Handle Handle() const { return handle_; }
    std::uint64_t Size() const { return size_; }
    void Close();

    // The prompt version of its first block, and the directory and file entries that an
    // extraction would restore.
    std::string version;
    std::vector<archive::CheckedEntry> entries;
    // What the check read, for the extraction to read again.
    archive::ArchiveSums sums;

private:
    friend bool OpenCheckedArchive(CardUtilityDialog&, const std::string&, CheckedArchive*);
    platform::FileSystem& fs_;
    platform::Handle handle_ = platform::InvalidHandle;
    std::uint64_t size_ = 0;
};

// The message for an archive that is damaged or no greeting & data archive at all.
std::string ArchiveDamagedMessage(const std::string& path);

// Opens the archive at path and reads it whole (CheckArchive, the integrity record's checksums
// included). False after one message naming the file and saying that the card was not changed:
// the file cannot be opened or read, or it is damaged.
bool OpenCheckedArchive(CardUtilityDialog& dlg, const std::string& path, CheckedArchive* archive);

// Whether what the extraction will write fits on the card at cardRoot, counting what stays: the
// files it replaces, and the prompt directory when the extraction deletes it first. An
// initialize counts the whole card, which the format empties. False after the card-full message.
enum class Room { KeepPrompts, ReplacePrompts, ReplacePromptsAfterDeleting, EmptyCard };
bool ArchiveFitsCard(CardUtilityDialog& dlg, const CheckedArchive& archive, const std::string& cardRoot,
                     Room room);

// Whether ExtractArchive will delete the card's prompts before it writes: the archive's version
// differs from the first six characters of the card's, and the card has one.
bool ExtractionDeletesPrompts(const std::string& archiveVersion, const std::string& cardVersion);

} // namespace operations
