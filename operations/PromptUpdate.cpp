// Prompt update: replaces the card's system prompts from a prompt-update archive, leaving
// messages, greetings and recorded names alone.
#include "app/flashkeeper3dlg.h"
#include "operations/OperationTexts.h"

using namespace operations;

void CardUtilityDialog::OnUpdate() {
    if (!CardChecksPass(*this,
                        {CardCheck::Selected, CardCheck::Refresh, CardCheck::Media, CardCheck::ValidCard}) ||
        !LocalDirectoriesPresent(*this, {LocalBackupDir, LocalPromptsDir, LocalDataDir})) {
        return;
    }

    // The card the checks passed for. Device changes handled while the file dialog or the
    // question is open may empty the slot, move another drive into it or leave the reader
    // without its card; the update then ends without writing anything more.
    const std::string cardRoot = CardRoot();
    auto cardGone = [&] {
        return SelectedDriveCode() == DriveCodeNone || CardRoot() != cardRoot || !ProbeMedia(cardRoot);
    };

    archive::versionBlockSeen = false;
    platform::FileDialogRequest request =
        ArchiveFileRequest("ZEL VoxHarbor Greeting & Data Files (*.vhp)", "*.vhp", PromptsDialogDir,
                           OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    if (!GetUi().GetOpenFileName(this, request) || request.path.empty()) {
        return;
    }

    UpdateWindow();
    GetUi().BeginWaitCursor();
    ReadArchiveVersion(request.path);

    if (archive::archivePromptVersion != promptVersion) {
        const int answer = GetUi().MessageBox(
            this, ReplacePromptsQuestion(archive::archivePromptVersion, promptVersion), MB_YESNO);
        if (answer != IDYES) {
            GetUi().EndWaitCursor();
            return;
        }
        UpdateWindow();
    }

    if (cardGone()) {
        GetUi().EndWaitCursor();
        return;
    }
    SetStateText(StateDeletingPrompts);
    UpdateWindow();
    if (cardGone()) {
        GetUi().EndWaitCursor();
        return;
    }
    SetStateText(StateUpdatingPrompts);
    UpdateWindow();

    std::uint64_t size = 0;
    DWORD openError = ERROR_SUCCESS;
    const platform::Handle archive = OpenArchiveForExtraction(Files(), request.path, &size, &openError);
    bool extracted = false;
    if (archive == platform::InvalidHandle) {
        ShowMessage(*this, ArchiveOpenFailedMessage(request.path, openError));
    } else {
        extracted = ExtractArchive(archive, size) && !archive::extractionFailed;
        CloseReadHandle(Files(), archive);
    }

    if (cardGone()) {
        GetUi().EndWaitCursor();
        return;
    }
    SetStateText(StateFinalizing);
    UpdateWindow();
    // A failed extraction has already said what went wrong.
    if (extracted) {
        ShowMessage(*this, UpdateCompleteMessage);
    }
    GetUi().EndWaitCursor();
    SetStateText(StateReady);
    RefreshCardStatus();
    ShowMembers();
}
