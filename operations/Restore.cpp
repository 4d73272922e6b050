// Restore: a backup archive back onto the selected card, keeping or replacing the card's prompts.
#include "app/flashkeeper3dlg.h"
#include "operations/ArchiveFile.h"
#include "operations/CheckedArchive.h"
#include "operations/OperationChecks.h"
#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"

using namespace operations;

void CardUtilityDialog::OnRestore() {
    if (!CardChecksPass(*this, {CardCheck::Selected, CardCheck::Media, CardCheck::Refresh, CardCheck::Redraw,
                                CardCheck::Media, CardCheck::ValidCard})) {
        return;
    }
    versionBlockSeen = false;
    if (!LocalDirectoriesPresent(*this, {LocalBackupDir, LocalDataDir})) {
        return;
    }
    SetStateText(StateRestoring);
    RestoreCard();
    SetStateText(StateReady);
    RefreshCardStatus();
}

void CardUtilityDialog::RestoreCard() {
    // The card the checks passed for; device changes handled while a dialog is open may empty
    // the slot or move another drive into it.
    const std::string cardRoot = CardRoot();
    // ...or another card may be put into the reader.
    const std::optional<DWORD> askedAbout = CardSerial(*this, cardRoot);
    platform::FileDialogRequest request =
        ArchiveFileRequest("ZEL VoxHarbor Greeting & Data Files (*.vhb)", "*.vhb", BackupDialogDir,
                           OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    if (!GetUi().GetOpenFileName(this, request) || request.path.empty()) {
        return;
    }
    UpdateWindow();
    // From here to the end of the restore, whatever its outcome.
    WaitCursor cursor(GetUi());
    // The whole archive is read before anything is asked or changed: a damaged or foreign
    // file is refused here, with the card as it was.
    CheckedArchive archive(Files());
    if (!OpenCheckedArchive(*this, request.path, &archive)) {
        return;
    }
    SetArchiveVersion(archive.version);

    bool keepPrompts = true;
    if (archivePromptVersion != promptVersion) {
        const int answer = GetUi().MessageBox(
            this, ReplacePromptsQuestion(archivePromptVersion, promptVersion), MB_YESNOCANCEL);
        UpdateWindow();
        if (answer == IDCANCEL) {
            return;
        }
        keepPrompts = answer != IDYES;
    }

    // Writing onto whatever drive now sits in the slot could overwrite another card.
    if (SelectedDriveCode() == DriveCodeNone || CardRoot() != cardRoot) {
        ShowMessage(*this, InsertValidCardMessage);
        return;
    }
    if (!ProbeMedia(cardRoot)) {
        ShowMessage(*this, NoMediaMessage);
        return;
    }
    if (!SameCardAsAsked(*this, cardRoot, askedAbout, NothingWritten)) {
        return;
    }
    const Room room = keepPrompts ? Room::KeepPrompts
                      : ExtractionDeletesPrompts(archivePromptVersion, promptVersion)
                          ? Room::ReplacePromptsAfterDeleting
                          : Room::ReplacePrompts;
    if (!ArchiveFitsCard(*this, archive, cardRoot, room)) {
        return;
    }

    const bool ok = keepPrompts ? ExtractArchiveKeepPrompts(archive.Handle(), archive.Size(), &archive.sums)
                                : ExtractArchive(archive.Handle(), archive.Size(), &archive.sums);
    archive.Close();
    if (ok && !extractionFailed) {
        ShowMessage(*this, RestoreCompleteMessage);
    }
    UpdateWindow();
}
