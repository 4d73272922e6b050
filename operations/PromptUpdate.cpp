// Prompt update: replaces the card's system prompts from a prompt-update archive, leaving
// messages, greetings and recorded names alone.
#include "app/flashkeeper3dlg.h"
#include "operations/ArchiveFile.h"
#include "operations/CheckedArchive.h"
#include "operations/OperationChecks.h"
#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"

#include <algorithm>

using namespace operations;

void CardUtilityDialog::OnUpdate() {
    if (!CardChecksPass(*this,
                        {CardCheck::Selected, CardCheck::Refresh, CardCheck::Media, CardCheck::ValidCard}) ||
        !LocalDirectoriesPresent(*this, {LocalBackupDir, LocalPromptsDir, LocalDataDir})) {
        return;
    }

    // The card the checks passed for. Device changes handled while the file dialog or the
    // question is open may empty the slot, move another drive into it or leave the reader
    // without its card; the update then ends without writing anything more. Another card put
    // into the reader is told apart by its serial.
    const std::string cardRoot = CardRoot();
    const std::optional<DWORD> askedAbout = CardSerial(*this, cardRoot);
    auto cardGone = [&] {
        return SelectedDriveCode() == DriveCodeNone || CardRoot() != cardRoot || !ProbeMedia(cardRoot);
    };

    versionBlockSeen = false;
    platform::FileDialogRequest request =
        ArchiveFileRequest("ZEL VoxHarbor Greeting & Data Files (*.vhp)", "*.vhp", PromptsDialogDir,
                           OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    if (!GetUi().GetOpenFileName(this, request) || request.path.empty()) {
        return;
    }

    UpdateWindow();
    WaitCursor cursor(GetUi());
    // The whole archive is read before anything is asked or changed: a damaged or foreign
    // file is refused here, with the card as it was.
    CheckedArchive archive(Files());
    if (!OpenCheckedArchive(*this, request.path, &archive)) {
        return;
    }
    // The card's messages, greetings and names are not the update's to write.
    if (std::any_of(archive.entries.begin(), archive.entries.end(), [](const archive::CheckedEntry& e) {
            return !archive::IsPromptUpdateEntry(e.header.path);
        })) {
        ShowMessage(*this, NotPromptUpdateMessage(request.path));
        return;
    }
    SetArchiveVersion(archive.version);

    if (archivePromptVersion != promptVersion) {
        const int answer =
            GetUi().MessageBox(this, ReplacePromptsQuestion(archivePromptVersion, promptVersion), MB_YESNO);
        if (answer != IDYES) {
            return;
        }
        UpdateWindow();
    }

    if (cardGone() || !SameCardAsAsked(*this, cardRoot, askedAbout, NothingWritten)) {
        return;
    }
    // Before the card's prompts are deleted: the new ones must fit.
    if (!ArchiveFitsCard(*this, archive, cardRoot,
                         ExtractionDeletesPrompts(archivePromptVersion, promptVersion)
                             ? Room::ReplacePromptsAfterDeleting
                             : Room::ReplacePrompts)) {
        return;
    }
    SetStateText(StateDeletingPrompts);
    UpdateWindow();
    if (cardGone()) {
        return;
    }
    SetStateText(StateUpdatingPrompts);
    UpdateWindow();

    const bool extracted =
        ExtractArchive(archive.Handle(), archive.Size(), &archive.sums) && !extractionFailed;
    archive.Close();

    if (cardGone()) {
        return;
    }
    SetStateText(StateFinalizing);
    UpdateWindow();
    // A failed extraction has already said what went wrong.
    if (extracted) {
        ShowMessage(*this, UpdateCompleteMessage);
    }
    cursor.End();
    SetStateText(StateReady);
    RefreshCardStatus();
    ShowMembers();
}
