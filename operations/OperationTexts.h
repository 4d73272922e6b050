// Fixed texts and local paths of the four card operations (Backup, Restore, Prompt update,
// Initialize): the messages they show, the questions they ask and their status-bar states.
#pragma once

#include "platform/api/WinTypes.h"

#include <string>

namespace operations {

// Local installation tree. The probes use one spelling, the file dialogs and the initial archive
// another; paths are case-insensitive, so both name the same folders.
inline constexpr const char* LocalBackupDir = "C:\\ZEL\\VoxHarbor\\Backup";
inline constexpr const char* LocalPromptsDir = "C:\\ZEL\\VoxHarbor\\Prompts";
inline constexpr const char* LocalDataDir = "C:\\ZEL\\VoxHarbor\\Data";
inline constexpr const char* BackupDialogDir = "C:\\ZEL\\Voxharbor\\Backup\\";
inline constexpr const char* PromptsDialogDir = "C:\\ZEL\\VoxHarbor\\Prompts\\";
inline constexpr const char* InitialArchivePath = "C:\\ZEL\\Voxharbor\\Data\\InitializedFileStruct.vhb";

inline constexpr const char* CardNotSelected = "Card Not Selected";

// Pre-check messages.
inline constexpr const char* SelectDeviceMessage = "Please select a device.";
inline constexpr const char* NoMediaMessage = "No media present.";
inline constexpr const char* InsertValidCardMessage = "Please insert a valid VoxHarbor card into the drive.";
inline constexpr const char* BackupDirMissingMessage =
    "The VoxHarbor Backup directory and associated files were not found.  Please re-install the application.";
inline constexpr const char* PromptsDirMissingMessage =
    "The VoxHarbor Prompts directory and associated files were not found.  Please re-install the "
    "application.";
inline constexpr const char* DataDirMissingMessage =
    "The VoxHarbor Data directory and associated files were not found.  Please re-install the application.";

// An extraction that stopped because the archive file could not be read.
inline constexpr const char* ArchiveReadFailedMessage =
    "An error has occurred while reading the archive file.  Only part of it has been written to the "
    "VoxHarbor "
    "card.";
// An extraction that read other bytes than the check before it: the file changed in between.
inline constexpr const char* ArchiveChangedMessage =
    "The archive file changed while it was being read.  The VoxHarbor card may hold only part of it.";

// An extraction that went to its end but could not write every file, or passed over damaged
// entries of the archive.
std::string FilesNotWrittenMessage(unsigned files);
std::string DamagedArchiveMessage(unsigned entries);

// Completion messages.
inline constexpr const char* BackupCompleteMessage = "Backup Complete.";
inline constexpr const char* RestoreCompleteMessage = "Restore Complete.";
inline constexpr const char* UpdateCompleteMessage = "Prompt Update complete.";

// Initialize's questions.
inline constexpr const char* ReformatQuestion =
    "You are about to re-format the VoxHarbor card.  Do you want to continue?";
inline constexpr const char* FormatAdvice =
    "The next dialog will show the Format options.  Please select the 'FAT' (not 'FAT32') for the File "
    "System "
    "type.  The 'FAT' option must be selected or the VoxHarbor card will not work in the system.";

// Status-bar state texts.
inline constexpr const char* StateReady = "Ready";
inline constexpr const char* StateBackingUp = "Backing Up Data";
inline constexpr const char* StateRestoring = "Restoring Data";
inline constexpr const char* StateDeletingPrompts = "Deleting Old Prompts";
inline constexpr const char* StateUpdatingPrompts = "Updating Prompts";
inline constexpr const char* StateFinalizing = "Finalizing";
inline constexpr const char* StateInstalling = "Installing Prompts";

// The question of Restore and Prompt update when the archive's prompt version differs from the
// card's; an empty card version is named "No Prompts".
std::string ReplacePromptsQuestion(const std::string& archiveVersion, const std::string& cardVersion);

// The message for an archive that cannot be opened for an extraction; nothing was written then.
std::string ArchiveOpenFailedMessage(const std::string& path, DWORD error);
// A prompt update whose archive holds more than the card's prompts (a backup, say): it would
// write over the card's messages, greetings and names.
std::string NotPromptUpdateMessage(const std::string& path);
// The same for an archive whose check could not read it to its end.
std::string ArchiveReadErrorMessage(const std::string& path, DWORD error);

// What a card swapped in during a question was spared, for CardReplacedMessage.
inline constexpr const char* NothingWritten = "Nothing has been written to it.";
inline constexpr const char* BackupNotMade = "The backup was not made.";
std::string CardReplacedMessage(const std::string& root, const char* notDone);

} // namespace operations
