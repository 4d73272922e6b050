// Windows path parsing shared by the simulated PC and the Linux host: drive letter and
// components, with the tolerance of the Windows file functions (doubled backslashes, '/' as a
// separator, "." components) and without their ability to climb out of a drive ("..").
#pragma once

#include "platform/api/WinTypes.h"

#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct WinPath {
    // Upper-case drive letter ('A'..'Z'), or 0 for a host path.
    char drive = 0;
    // Components below the root, without separators; empty for the root itself.
    std::vector<std::string> components;
    // The text ended with a separator ("E:\VM\").
    bool trailingSeparator = false;
    // A host absolute path ("/home/..."), kept as it was given in hostPath.
    bool isHost = false;
    std::string hostPath;

    bool IsRoot() const { return !isHost && components.empty(); }
    // "E:\" for the root, otherwise "E:\VM\PROMPTS" (single backslashes, no trailing one).
    std::string ToString() const;
    // The root "E:\".
    std::string Root() const;
    // Components joined with '/', the path relative to the drive's folder ("" for the root).
    std::string Relative() const;
};

// Parses a Windows path ("E:\\VM\\PROMPTS\FILE.EXT", "e:/vm/", "E:") or a host absolute path.
// Returns ERROR_SUCCESS, ERROR_ACCESS_DENIED for a ".." component or an embedded NUL (a path
// must never leave its drive), ERROR_INVALID_NAME for characters Windows does not allow in
// names (with allowWildcards, '*' and '?' are allowed in the last component), and
// ERROR_PATH_NOT_FOUND for a relative path, which has no drive to resolve against here.
DWORD ParseWinPath(std::string_view text, WinPath* out, bool allowWildcards = false);

bool IsHostAbsolute(std::string_view path);
bool EqualNoCase(std::string_view a, std::string_view b);
// Case-insensitive ordering (ASCII), for deterministic listings.
bool LessNoCase(std::string_view a, std::string_view b);
std::string ToUpperAscii(std::string_view text);
std::string ToLowerAscii(std::string_view text);

// Wildcard match of a listing pattern against a name, case-insensitively, as FindFirstFile
// does: '*' any run, '?' one character, and a pattern ending in ".*" also matches names
// without a dot ("*.*" matches everything).
bool MatchesPattern(std::string_view name, std::string_view pattern);
bool HasWildcards(std::string_view text);

// Volume names of drives that a platform makes up itself: "\\?\Volume{<tag>-X}\".
std::string MadeUpVolumeName(std::string_view tag, char letter);
// The upper-case drive letter of a volume root ("X:", "X:\", "X:/") or of a made-up volume name
// with that tag; 0 for anything else.
char DriveLetterOfRoot(std::string_view root, std::string_view volumeTag);
// The upper-case drive letter of a volume's device as it is opened for an I/O control: "\\.\X:"
// or a made-up volume name without its trailing backslash; 0 for anything else (a root among them).
char DriveLetterOfDevice(std::string_view name, std::string_view volumeTag);

} // namespace platform
