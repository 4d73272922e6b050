#include "operations/OperationChecks.h"

#include "operations/OperationTexts.h"
#include "operations/OperationUi.h"
#include "platform/api/LastError.h"

#include <string_view>

namespace operations {

bool CardChecksPass(CardUtilityDialog& dlg, std::initializer_list<CardCheck> steps) {
    for (const CardCheck step : steps) {
        const char* failure = nullptr;
        switch (step) {
        case CardCheck::Selected:
            failure = dlg.statusText == CardNotSelected ? SelectDeviceMessage : nullptr;
            break;
        case CardCheck::Media:
            failure = dlg.ProbeMedia(dlg.CardRoot()) ? nullptr : NoMediaMessage;
            break;
        case CardCheck::Refresh:
            dlg.RefreshCardStatus();
            break;
        case CardCheck::Redraw:
            dlg.UpdateWindow();
            break;
        case CardCheck::ValidCard:
            failure = dlg.SelectedDriveCode() == DriveCodeNone ? InsertValidCardMessage : nullptr;
            break;
        }
        if (failure != nullptr) {
            ShowMessage(dlg, failure);
            return false;
        }
    }
    return true;
}

bool LocalDirectoryMissing(CardUtilityDialog& dlg, const char* path) {
    return dlg.ProbePath(path) == ERROR_PATH_NOT_FOUND;
}

bool LocalDirectoriesPresent(CardUtilityDialog& dlg, std::initializer_list<const char*> dirs) {
    for (const char* dir : dirs) {
        if (LocalDirectoryMissing(dlg, dir)) {
            const std::string_view which(dir);
            ShowMessage(dlg, which == LocalBackupDir    ? BackupDirMissingMessage
                             : which == LocalPromptsDir ? PromptsDirMissingMessage
                                                        : DataDirMissingMessage);
            return false;
        }
    }
    return true;
}

std::optional<DWORD> CardSerial(CardUtilityDialog& dlg, const std::string& root) {
    DWORD serial = 0;
    if (root.empty() || !dlg.Drives().GetVolumeLabel(root, nullptr, 0, &serial)) {
        return std::nullopt;
    }
    return serial;
}

bool SameCardAsAsked(CardUtilityDialog& dlg, const std::string& root, std::optional<DWORD> askedAbout,
                     const char* notDone) {
    if (!askedAbout) {
        return true;
    }
    DWORD serial = 0;
    const bool read = dlg.Drives().GetVolumeLabel(root, nullptr, 0, &serial) != FALSE;
    if (!read && platform::GetLastError() == ERROR_NOT_READY) {
        ShowMessage(dlg, NoMediaMessage);
        return false;
    }
    // A volume that can no longer be read at all is not the card that was asked about either.
    if (read && serial == *askedAbout) {
        return true;
    }
    ShowMessage(dlg, CardReplacedMessage(root, notDone));
    dlg.ShowSelectedCard();
    return false;
}

} // namespace operations
