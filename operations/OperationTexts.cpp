#include "operations/OperationTexts.h"

#include <string>

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

std::string CardReplacedMessage(const std::string& root, const char* notDone) {
    return "The card in drive " + root.substr(0, 2) + " has been replaced by another card.  " + notDone +
           "  Please check the card and try again.";
}

} // namespace operations
