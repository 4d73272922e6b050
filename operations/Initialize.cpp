// Initialize: re-format the card through the platform's format dialog, then install the initial
// file structure and system prompts from the archive in the local Data directory.
#include "app/flashkeeper3dlg.h"
#include "operations/CheckedArchive.h"
#include "operations/OperationTexts.h"

using namespace operations;

void CardUtilityDialog::OnInitialize() {
    if (!CardChecksPass(*this, {CardCheck::Selected, CardCheck::Media, CardCheck::ValidCard})) {
        return;
    }
    const std::int32_t driveCode = SelectedDriveCode();
    versionBlockSeen = false;
    if (!LocalDirectoriesPresent(*this, {LocalBackupDir, LocalDataDir})) {
        return;
    }
    {
        // The initial archive is read whole before the card is formatted: a card is never
        // emptied for an archive that cannot be installed on it. (It is small: no wait cursor.)
        CheckedArchive initial(Files());
        if (!OpenCheckedArchive(*this, InitialArchivePath, &initial) ||
            !ArchiveFitsCard(*this, initial, CardRoot(), Room::EmptyCard)) {
            return;
        }
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
    // Drive numbers count from A: = 0, drive codes from C: = 0.
    GetUi().FormatDriveDialog(static_cast<UINT>(driveCode) + 2, Drives());

    RefreshCardStatus();
    const bool sameCard = SelectedDriveCode() == driveCode && CardRoot() == cardRoot;
    if (SelectedDriveCode() != DriveCodeNone) {
        SetStateText(StateInstalling);
    }
    UpdateWindow();

    // An empty prompt version means the card holds no prompts (as after a format). It reads empty
    // too when the slot has lost its drive; there is nothing to install onto then.
    if (promptVersion.empty() && sameCard) {
        WaitCursor cursor(GetUi());
        InstallInitializedFileStruct();
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

void CardUtilityDialog::InstallInitializedFileStruct() {
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
    // A failed extraction shows its own message; Initialize has none of its own.
    static_cast<void>(ExtractArchive(archive, size));
    CloseReadHandle(Files(), archive);
}
