#include "operations/OperationTexts.h"

#include "platform/api/LastError.h"

#include <string_view>

namespace operations {

std::string ReplacePromptsQuestion(const std::string& archiveVersion, const std::string& cardVersion) {
    const std::string card = cardVersion.empty() ? std::string("No Prompts") : cardVersion;
    return "The Prompt Update is version " + archiveVersion + " and the VoxHarbor Card prompts are version " +
           card + ".  Would you like to replace the VoxHarbor Card prompts with version " + archiveVersion +
           "?";
}

std::string FilesNotWrittenMessage(unsigned files) {
    return "An error has occurred while writing " + std::to_string(files) +
           (files == 1 ? " file" : " files") +
           " to the VoxHarbor card. Please check the card and card reader.";
}

std::string DamagedArchiveMessage(unsigned entries) {
    return "The archive file is damaged.  " + std::to_string(entries) +
           (entries == 1 ? " entry was" : " entries were") + " not written to the VoxHarbor card.";
}

std::string ArchiveOpenFailedMessage(const std::string& path, DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return "The file " + path + " was not found.  The VoxHarbor card has not been changed.";
    }
    return "The file " + path + " could not be opened (error " + std::to_string(error) +
           ").  The VoxHarbor card has not been changed.";
}

std::string NotPromptUpdateMessage(const std::string& path) {
    return "The file " + path +
           " holds more than system prompts and cannot be used for a Prompt Update.  The VoxHarbor card has "
           "not been changed.";
}

std::string ArchiveReadErrorMessage(const std::string& path, DWORD error) {
    return "The file " + path + " could not be read (error " + std::to_string(error) +
           ").  The VoxHarbor card has not been changed.";
}

platform::Handle OpenArchiveForExtraction(platform::FileSystem& fs, const std::string& path,
                                          std::uint64_t* size, DWORD* error) {
    *size = 0;
    *error = ERROR_SUCCESS;
    const platform::Handle h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        *error = platform::GetLastError();
        return platform::InvalidHandle;
    }
    if (!fs.GetFileSize(h, size)) {
        *error = platform::GetLastError();
        CloseReadHandle(fs, h);
        return platform::InvalidHandle;
    }
    return h;
}

void CloseReadHandle(platform::FileSystem& fs, platform::Handle h) {
    if (h != platform::InvalidHandle) {
        // Nothing was written through this handle; a failed close cannot lose data.
        static_cast<void>(fs.CloseHandle(h));
    }
}

platform::FileDialogRequest ArchiveFileRequest(const char* description, const char* pattern,
                                               const char* initialDir, DWORD flags) {
    platform::FileDialogRequest request;
    request.filterDescription = description;
    request.filterPattern = pattern;
    request.initialDir = initialDir;
    request.fileName = pattern;
    request.flags = flags;
    return request;
}

void ShowMessage(CardUtilityDialog& dlg, const std::string& text) {
    dlg.GetUi().MessageBox(&dlg, text, MB_OK);
}

bool LocalDirectoryMissing(CardUtilityDialog& dlg, const char* path) {
    return dlg.ProbePath(path) == ERROR_PATH_NOT_FOUND;
}

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

std::optional<DWORD> CardSerial(CardUtilityDialog& dlg, const std::string& root) {
    DWORD serial = 0;
    if (root.empty() || !dlg.Drives().GetVolumeLabel(root, nullptr, 0, &serial)) {
        return std::nullopt;
    }
    return serial;
}

std::string CardReplacedMessage(const std::string& root, const char* notDone) {
    return "The card in drive " + root.substr(0, 2) + " has been replaced by another card.  " + notDone +
           "  Please check the card and try again.";
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

} // namespace operations
