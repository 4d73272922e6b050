// Initialize: re-format the card through the platform's format dialog, then install the initial
// file structure and system prompts from the archive in the local Data directory.
#include "app/flashkeeper3dlg.h"
#include "operations/ArchiveFile.h"
#include "operations/CheckedArchive.h"
#include "operations/OperationChecks.h"
#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"
#include "platform/api/LastError.h"

using namespace operations;

namespace {

// Whether a card's root holds no entries at all, as after a format.
bool RootIsEmpty(platform::FileSystem& fs, const std::string& root) {
    platform::FindData found;
    const platform::Handle h = fs.FindFirstFile(root + "*", &found);
    if (h == platform::InvalidHandle) {
        return platform::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    static_cast<void>(fs.FindClose(h)); // only listed: nothing to lose
    return false;
}

} // namespace

void CardUtilityDialog::OnInitialize() {
    if (!CardChecksPass(*this, {CardCheck::Selected, CardCheck::Media, CardCheck::ValidCard})) {
        return;
    }
    const std::int32_t driveCode = SelectedDriveCode();
    versionBlockSeen = false;
    if (!LocalDirectoriesPresent(*this, {LocalBackupDir, LocalDataDir})) {
        return;
    }
    // Which card the user is asked to have re-formatted.
    const std::optional<DWORD> askedAbout = CardSerial(*this, CardRoot());
    archive::ArchiveSums checked;
    std::uint64_t checkedSize = 0;
    {
        // The initial archive is read whole before the card is formatted: a card is never
        // emptied for an archive that cannot be installed on it. (It is small: no wait cursor.)
        CheckedArchive initial(Files());
        if (!OpenCheckedArchive(*this, InitialArchivePath, &initial) ||
            !ArchiveFitsCard(*this, initial, CardRoot(), Room::EmptyCard)) {
            return;
        }
        checked = initial.sums;
        checkedSize = initial.Size();
    }
    if (GetUi().MessageBox(this, ReformatQuestion, MB_YESNO) != IDYES) {
        return;
    }
    ShowMessage(*this, FormatAdvice);

    // The user agreed to format the card they selected. If device changes handled while the
    // questions were open took it away or put another drive in the slot, formatting by the
    // slot's drive code now would erase a drive nobody confirmed.
    const std::string cardRoot = CardRoot();
    if (SelectedDriveCode() != driveCode) {
        ShowMessage(*this, InsertValidCardMessage);
        return;
    }
    if (!SameCardAsAsked(*this, cardRoot, askedAbout, NothingWritten)) {
        return;
    }
    // Drive numbers count from A: = 0, drive codes from C: = 0.
    GetUi().FormatDriveDialog(static_cast<UINT>(driveCode) + 2, Drives());

    RefreshCardStatus();
    const bool sameCard = SelectedDriveCode() == driveCode && CardRoot() == cardRoot;
    // A format gives the card a new serial, so a new serial is either this card formatted or
    // another one put in while the format dialog was open. Only an empty card can be the
    // formatted one: one with files on it gets nothing installed over them.
    if (sameCard && askedAbout && CardSerial(*this, cardRoot) != askedAbout &&
        !RootIsEmpty(Files(), cardRoot)) {
        ShowMessage(*this, CardReplacedMessage(cardRoot, NothingWritten));
        ShowSelectedCard();
        return;
    }
    if (SelectedDriveCode() != DriveCodeNone) {
        SetStateText(StateInstalling);
    }
    UpdateWindow();

    // An empty prompt version means the card holds no prompts (as after a format). It reads empty
    // too when the slot has lost its drive; there is nothing to install onto then.
    if (promptVersion.empty() && sameCard) {
        WaitCursor cursor(GetUi());
        InstallInitializedFileStruct(checked, checkedSize);
    }

    const std::string root = CardRoot();
    if (root.empty() || !Drives().GetVolumeLabel(root, &volumeLabel, 255)) {
        // A label that cannot be read counts as none.
        volumeLabel.clear();
    }
    deviceName = root.empty() ? std::string() : ComposeDeviceText(root);

    RefreshCardStatus();
    SetStateText(StateReady);
    ShowMembers();
}

void CardUtilityDialog::InstallInitializedFileStruct(const archive::ArchiveSums& checked,
                                                     std::uint64_t checkedSize) {
    std::uint64_t size = 0;
    DWORD openError = ERROR_SUCCESS;
    const platform::Handle archive = OpenArchiveForExtraction(Files(), InitialArchivePath, &size, &openError);
    if (archive == platform::InvalidHandle) {
        // The card has just been formatted: it must not be left empty without a word.
        const std::string file(InitialArchivePath);
        const std::string problem = openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND
                                        ? " was not found."
                                        : " could not be opened (error " + std::to_string(openError) + ").";
        ShowMessage(*this,
                    "The VoxHarbor initial card file " + file + problem +
                        "  The VoxHarbor card has not been initialized.  Please re-install the application.");
        return;
    }
    UpdateWindow();
    WaitCursor cursor(GetUi());
    if (size != checkedSize) {
        // Another file than the one checked before the format: nothing of it is installed.
        ShowMessage(*this, ArchiveChangedMessage);
    } else {
        // A failed extraction shows its own message; Initialize has none of its own.
        static_cast<void>(ExtractArchive(archive, size, &checked));
    }
    CloseReadHandle(Files(), archive);
}
