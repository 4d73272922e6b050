// Resources of the program: dialog templates, strings, icon and bitmap ids.
#pragma once

#include "platform/api/Templates.h"

#include <string>

namespace resources {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDR_MAINFRAME = 128; // application icon
inline constexpr int IDD_CARDUTILITY_DIALOG = 147;
inline constexpr int IDD_DRIVESELECTION = 148;

inline constexpr int IDB_UPDATE = 133;
inline constexpr int IDB_EXIT = 135;
inline constexpr int IDB_READ = 137;
inline constexpr int IDB_RESTORE = 139;
inline constexpr int IDB_BACKUP = 140;
inline constexpr int IDB_INIT = 141;

// Template by id; throws std::out_of_range for an unknown id.
const platform::DialogTemplate& GetDialogTemplate(int id);
// String resource by id ("" when there is none).
std::string LoadString(int id);

} // namespace resources
