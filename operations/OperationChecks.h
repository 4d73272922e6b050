// The checks the card operations make before they change a card or read the local tree: the card
// pre-checks, the local directories, and after a question, whether the card is still the one the
// user was asked about.
#pragma once

#include "app/flashkeeper3dlg.h"

#include <initializer_list>
#include <optional>
#include <string>

namespace operations {

// One step of an operation's card pre-checks. The operations run their own sequences of the same
// steps, so each lists its steps in order and CardChecksPass runs them.
enum class CardCheck {
    Selected,  // a device is selected, else SelectDeviceMessage
    Media,     // the card root has media, else NoMediaMessage
    Refresh,   // re-reads the card's status; never fails
    Redraw,    // shows the dialog's controls now; never fails
    ValidCard, // the selected slot holds a drive, else InsertValidCardMessage
};

// Runs the steps in order; the first that fails shows its message and stops the run.
bool CardChecksPass(CardUtilityDialog& dlg, std::initializer_list<CardCheck> steps);

// The local directory check: a directory counts as missing only on the path-not-found error.
// Opening an existing directory as a file gives the access-denied error, and a missing last
// directory the file-not-found error; both pass.
bool LocalDirectoryMissing(CardUtilityDialog& dlg, const char* path);

// Checks the local directories in order (each one of LocalBackupDir, LocalPromptsDir and
// LocalDataDir); the first missing one shows its message and stops the run.
bool LocalDirectoriesPresent(CardUtilityDialog& dlg, std::initializer_list<const char*> dirs);

// Which card the user is asked about: the volume serial of the card in root, read before the
// first question; nothing where it cannot be read (there is nothing to compare then).
std::optional<DWORD> CardSerial(CardUtilityDialog& dlg, const std::string& root);

// After the user answered: whether the card in root is still the one asked about. Another card put
// into the reader meanwhile must not receive what was meant for the first: the user is told (or
// told that the reader is empty), the dialog shows the card now in the drive as a selection
// would, and the result is false.
bool SameCardAsAsked(CardUtilityDialog& dlg, const std::string& root, std::optional<DWORD> askedAbout,
                     const char* notDone);

} // namespace operations
