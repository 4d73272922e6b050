// Backup: the whole card into one greeting & data archive on the PC.
//
// The archive is written to a temporary file beside the chosen one and put in its place only
// once the whole card is in it, it is on its medium and every byte of it read back from there
// is what was written, so a failed backup never costs the user an earlier archive of the same name, and
// never leaves a partial archive that looks complete.
#include "app/flashkeeper3dlg.h"
#include "archive/Check.h"
#include "archive/ReadBack.h"
#include "operations/ArchiveFile.h"
#include "operations/OperationChecks.h"
#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"
#include "platform/api/LastError.h"

#include <string>

using namespace operations;

namespace {

constexpr const char* BackupNotComplete = " The backup is not complete.";

// A path as the user knows it: the archive's stored form doubles the backslash below the root.
std::string DisplayPath(const std::string& storedPath) {
    std::string out;
    out.reserve(storedPath.size());
    for (char c : storedPath) {
        if (c == '\\' && !out.empty() && out.back() == '\\') {
            continue;
        }
        out.push_back(c);
    }
    return out;
}

std::string ArchiveWriteFailedMessage(DWORD error) {
    if (error == ERROR_DISK_FULL) {
        return std::string("The backup file could not be written because the disk is full.") +
               BackupNotComplete;
    }
    return std::string("An error has occurred while writing the backup file.") + BackupNotComplete;
}

std::string WriteProblemMessage(const archive::WriteProblem& problem) {
    switch (problem.kind) {
    case archive::WriteProblem::Kind::PathTooLong:
        return "The path " + DisplayPath(problem.path) + " is too long to be stored in a backup file." +
               BackupNotComplete;
    case archive::WriteProblem::Kind::CardReadFailed:
        return std::string("An error has occurred while reading the VoxHarbor card.") + BackupNotComplete;
    case archive::WriteProblem::Kind::ReadBack:
        if (problem.error != ERROR_SUCCESS) {
            return std::string("An error has occurred while reading back the backup file.") +
                   BackupNotComplete;
        }
        return std::string("The backup file did not read back as it was written.") + BackupNotComplete;
    case archive::WriteProblem::Kind::ArchiveWriteFailed:
    case archive::WriteProblem::Kind::None:
        break;
    }
    return ArchiveWriteFailedMessage(problem.error);
}

// Whether path holds a whole archive with its integrity record: a backup once saved under its
// temporary name. A partial one still has the record's placeholder, which gives no length.
bool HoldsWholeArchive(platform::FileSystem& fs, const std::string& path) {
    std::uint64_t size = 0;
    DWORD error = ERROR_SUCCESS;
    const platform::Handle h = OpenArchiveForExtraction(fs, path, &size, &error);
    if (h == platform::InvalidHandle) {
        return false;
    }
    const archive::ArchiveCheck check = archive::CheckArchive(fs, h, size, false);
    CloseReadHandle(fs, h);
    return check.Sound() && check.integrity.has_value();
}

// The file the backup is written to until it is whole, beside the chosen one. What an
// interrupted backup left there is reused, so such files never pile up; a whole backup that the
// user was told is saved under such a name is never touched: the next name is taken then.
std::string TemporaryFor(platform::FileSystem& fs, const std::string& target) {
    for (int n = 0;; ++n) {
        const std::string name = target + (n == 0 ? std::string() : "." + std::to_string(n)) + ".tmp";
        if (!HoldsWholeArchive(fs, name)) {
            return name;
        }
    }
}

// The card's used space from the volume query: the whole of the progress bar (0: unknown).
std::uint64_t UsedBytes(platform::Volumes& drives, const std::string& root) {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!drives.GetDiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters) ||
        freeClusters > totalClusters) {
        return 0;
    }
    return std::uint64_t{totalClusters - freeClusters} * sectorsPerCluster * bytesPerSector;
}

// Removes the unfinished temporary file. When even that fails the user must know that a
// partial file is left, so the caller's message gains a sentence naming it.
std::string DiscardTemporary(platform::FileSystem& fs, const std::string& path) {
    if (fs.DeleteFile(path)) {
        return {};
    }
    return "  The incomplete file " + path + " could not be removed.";
}

} // namespace

void CardUtilityDialog::OnBackup() {
    if (!CardChecksPass(*this, {CardCheck::Selected, CardCheck::Media, CardCheck::Refresh, CardCheck::Media,
                                CardCheck::ValidCard}) ||
        !LocalDirectoriesPresent(*this, {LocalBackupDir})) {
        return;
    }
    BackupCard();
}

void CardUtilityDialog::BackupCard() {
    // The card the checks passed for; device changes handled while the save dialog is open may
    // empty the slot or move another drive into it.
    const std::string cardRoot = CardRoot();
    // Another card put into the reader meanwhile would be stored under this card's prompt version.
    const std::optional<DWORD> askedAbout = CardSerial(*this, cardRoot);
    platform::FileDialogRequest request =
        ArchiveFileRequest("VoxHarbor Greeting & Data Files (*.vhb)", "*.vhb", BackupDialogDir,
                           OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT);
    request.defaultExt = "vhb";
    if (!GetUi().GetSaveFileName(this, request) || request.path.empty()) {
        return;
    }
    if (SelectedDriveCode() != DriveCodeNone && CardRoot() == cardRoot && ProbeMedia(cardRoot) &&
        !SameCardAsAsked(*this, cardRoot, askedAbout, BackupNotMade)) {
        return;
    }
    const std::string target = request.path;

    platform::FileSystem& fs = Files();
    const std::string temporary = TemporaryFor(fs, target);
    platform::SetLastError(ERROR_SUCCESS);
    const platform::Handle archive =
        fs.CreateFile(temporary, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0); // read back meanwhile
    if (archive == platform::InvalidHandle) {
        ShowMessage(*this, "The backup file " + target + " could not be created (error " +
                               std::to_string(platform::GetLastError()) + ")." + BackupNotComplete);
        return;
    }

    UpdateWindow();
    WaitCursor cursor(GetUi());

    // The card went while the save dialog was open: nothing to back up.
    if (SelectedDriveCode() == DriveCodeNone || CardRoot() != cardRoot) {
        static_cast<void>(fs.CloseHandle(archive));
        const std::string leftOver = DiscardTemporary(fs, temporary);
        cursor.End();
        if (!leftOver.empty()) {
            ShowMessage(*this, "The backup was not made." + leftOver);
        }
        return;
    }
    SetStateText(StateBackingUp);

    // The version block, the integrity record's place (filled in once the walk is done), then
    // the card, read back from the disk part by part meanwhile; then the record, the whole file
    // on its medium, and the rest of it read back.
    writeProblem_ = {};
    archive::ArchiveTally tally;
    archive::ArchiveReadBack readBack(fs, archive, temporary, archive::VersionBlockOf(promptVersion));
    const bool written =
        archive::WriteVersionBlock(fs, archive, promptVersion, &writeProblem_, &tally) &&
        archive::WriteIntegrityBlock(fs, archive, {}, &writeProblem_) &&
        WriteArchiveTree(cardRoot, archive, &tally, UsedBytes(Drives(), cardRoot),
                         [&](archive::WriteProblem* problem) { return readBack.Written(tally, problem); }) &&
        archive::SealArchive(fs, archive, promptVersion, tally, &writeProblem_);
    statusBar.SetText(1, "");

    std::string failure;
    if (!written) {
        failure = WriteProblemMessage(writeProblem_);
        static_cast<void>(fs.CloseHandle(archive)); // the file is discarded anyway
    } else if (!fs.CloseHandle(archive)) {
        // A close that fails may have lost buffered data.
        failure = ArchiveWriteFailedMessage(platform::GetLastError());
    } else if (!readBack.Finish(tally, &writeProblem_)) {
        failure = WriteProblemMessage(writeProblem_);
    }
    readBack.Close(); // before the file is removed or moved
    if (!failure.empty()) {
        failure += DiscardTemporary(fs, temporary);
    } else if (!fs.MoveFileReplace(temporary, target)) {
        const DWORD error = platform::GetLastError();
        if (fs.GetFileAttributes(temporary) != INVALID_FILE_ATTRIBUTES) {
            // The backup is whole: it stays where it is, and the user is told where.
            failure = "The backup file " + target + " could not be replaced (error " + std::to_string(error) +
                      ").  The backup has been saved as " + temporary + ".";
        } else {
            // Moved into place, but the folder could not be put on its medium.
            failure = ArchiveWriteFailedMessage(error);
        }
    }

    SetStateText(StateReady);
    cursor.End();
    ShowMessage(*this, failure.empty() ? std::string(BackupCompleteMessage) : failure);
}
