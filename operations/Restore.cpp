// Restore: a backup archive back onto the selected card, keeping or replacing the card's prompts.
#include "app/flashkeeper3dlg.h"
#include "operations/OperationTexts.h"

using namespace operations;

namespace {

// RestoreCard begins the wait cursor once it has the archive open; OnRestore ends it. Only the
// user-interface thread runs operations, and one at a time.
bool restoreWaitCursorShown = false;

} // namespace

void CardUtilityDialog::OnRestore() {
    if (!CardChecksPass(*this, {CardCheck::Selected, CardCheck::Media, CardCheck::Refresh, CardCheck::Redraw,
                                CardCheck::Media, CardCheck::ValidCard})) {
        return;
    }
    archive::versionBlockSeen = false;
    if (!LocalDirectoriesPresent(*this, {LocalBackupDir, LocalDataDir})) {
        return;
    }
    SetStateText(StateRestoring);

    restoreWaitCursorShown = false;
    RestoreCard();

    if (restoreWaitCursorShown) {
        GetUi().EndWaitCursor();
        restoreWaitCursorShown = false;
    }
    SetStateText(StateReady);
    RefreshCardStatus();
}

void CardUtilityDialog::RestoreCard() {
    // The card the checks passed for; device changes handled while a dialog is open may empty
    // the slot or move another drive into it.
    const std::string cardRoot = CardRoot();
    platform::FileDialogRequest request =
        ArchiveFileRequest("ZEL VoxHarbor Greeting & Data Files (*.vhb)", "*.vhb", BackupDialogDir,
                           OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    if (!GetUi().GetOpenFileName(this, request) || request.path.empty()) {
        return;
    }
    ReadArchiveVersion(request.path);

    std::uint64_t size = 0;
    DWORD openError = ERROR_SUCCESS;
    const platform::Handle archive = OpenArchiveForExtraction(Files(), request.path, &size, &openError);
    if (archive == platform::InvalidHandle) {
        ShowMessage(*this, ArchiveOpenFailedMessage(request.path, openError));
        return;
    }

    UpdateWindow();
    GetUi().BeginWaitCursor();
    restoreWaitCursorShown = true;

    bool keepPrompts = true;
    if (archive::archivePromptVersion != promptVersion) {
        const int answer = GetUi().MessageBox(
            this, ReplacePromptsQuestion(archive::archivePromptVersion, promptVersion), MB_YESNOCANCEL);
        UpdateWindow();
        if (answer == IDCANCEL) {
            CloseReadHandle(Files(), archive);
            return;
        }
        keepPrompts = answer != IDYES;
    }

    // Writing onto whatever drive now sits in the slot could overwrite another card.
    if (SelectedDriveCode() == DriveCodeNone || CardRoot() != cardRoot) {
        CloseReadHandle(Files(), archive);
        ShowMessage(*this, InsertValidCardMessage);
        return;
    }
    if (!ProbeMedia(cardRoot)) {
        CloseReadHandle(Files(), archive);
        ShowMessage(*this, NoMediaMessage);
        return;
    }

    const bool ok = keepPrompts ? ExtractArchiveKeepPrompts(archive, size) : ExtractArchive(archive, size);
    CloseReadHandle(Files(), archive);
    if (ok && !archive::extractionFailed) {
        ShowMessage(*this, RestoreCompleteMessage);
    }
    UpdateWindow();
}
