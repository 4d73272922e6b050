// What vhbtool says about itself: `vhbtool --help` prints it, and the build makes the manual
// page vhbtool(1) from it, so a command added here is documented in both.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace vhbtool {

struct OptionHelp {
    std::string_view name; // with its value, as typed: "--root X:\"
    std::string_view text;
};

struct CommandHelp {
    std::string_view name;     // "list"
    std::string_view synopsis; // what follows the name: "[--json] ARCHIVE"
    std::string_view text;
    std::span<const OptionHelp> options;
};

inline constexpr std::string_view Summary =
    "list, verify, create, extract and compare VoxHarbor greeting & data archives";

inline constexpr std::string_view Description =
    "Greeting & data archives (.vhb backups, .vhp prompt updates) are made of 1024-byte blocks: a version "
    "block, then per directory or file an entry header and the blocks of its backup stream.";

inline constexpr OptionHelp ListOptions[] = {
    {"--json", "Prints {\"version\": str, \"entries\": [{\"path\": str, \"attributes\": int, \"kind\": "
               "\"directory\"|\"file\"|\"other\", \"creationTime\": int, \"lastAccessTime\": int, "
               "\"lastWriteTime\": int, \"size\": int}]}."},
};

inline constexpr OptionHelp CreateOptions[] = {
    {"--version TEXT", "The version block holds TEXT (at most 6 characters; default empty)."},
    {"--root X:\\", "The folder is written as a card whose root is X:\\ (default E:\\)."},
    {"--time FILETIME",
     "Every entry gets this time (100-ns intervals since 1601) and a plain attribute word, so the same "
     "tree always gives the same archive."},
};

inline constexpr OptionHelp ExtractOptions[] = {
    {"--keep-prompts", "Leaves out everything under VM\\PROMPTS."},
    {"--root X:\\", "The folder is treated as the card root X:\\ (default E:\\)."},
};

inline constexpr OptionHelp CompareOptions[] = {
    {"--root X:\\", "The folder is treated as the card root X:\\ (default E:\\)."},
};

inline constexpr CommandHelp Commands[] = {
    {"list", "[--json] ARCHIVE",
     "The version, then one line per entry: kind (d directory, f file, ? other: an attribute word that "
     "marks neither, which the program passes over), attribute word, data size, creation, last-access and "
     "last-write time (FILETIMEs), stored path. A malformed archive is listed as far as it can be made "
     "out, and the problem is reported as by verify; an archive that verify refuses is listed, and the "
     "exit status is 1.",
     ListOptions},
    {"verify",
     "ARCHIVE",
     "Exit 0 when the archive is well formed; otherwise names the first problem and its byte offset, exit "
     "1: every archive that the program refuses to restore is refused here. What the program reads its "
     "own way (entries it passes over, bytes it ignores) is reported as a warning. An archive with an "
     "integrity record (backups and archives made by create) is also checked against its entry count, "
     "length and checksums.",
     {}},
    {"create", "[--version TEXT] [--root X:\\] [--time FILETIME] FOLDER ARCHIVE",
     "Writes the archive of a host folder as a card would be written, with an integrity record after the "
     "version block. Entries are taken in name order.",
     CreateOptions},
    {"extract", "[--keep-prompts] [--root X:\\] ARCHIVE FOLDER",
     "Restores the archive into a host folder; the folder is created when missing. Entries whose paths "
     "would leave the folder are refused. An archive that verify refuses is refused whole, before "
     "anything is written.",
     ExtractOptions},
    {"compare", "[--root X:\\] ARCHIVE FOLDER",
     "Compares the archive with a card or folder treated as the card root X:\\ (default E:\\), as a "
     "restore onto an empty card would leave it. Exit 0 when they agree; otherwise one line per "
     "difference, exit 1: \"PATH: only in the archive\", \"PATH: only in the folder\", \"PATH: a "
     "directory in the archive, a file in the folder\" (or the other way round), \"PATH: size N in the "
     "archive, M in the folder\", \"PATH: data differs from byte N\", \"PATH: attributes 0xA in the "
     "archive, 0xB in the folder\", \"PATH: creation time T in the archive, U in the folder\", the same "
     "for the last-write time. Times are compared at a FAT card's precision (10 ms, 2 s), creation times "
     "only where the folder keeps them (a FAT card, Windows); last-access times are not compared, since "
     "every read moves them.",
     CompareOptions},
};

inline constexpr OptionHelp GeneralOptions[] = {
    {"--help", "Prints this text."},
    {"--version", "Prints the version of vhbtool."},
};

struct EnvironmentHelp {
    std::string_view name;
    std::string_view text;
};

inline constexpr EnvironmentHelp Environment[] = {
    {"SOURCE_DATE_EPOCH",
     "Seconds since 1970: create gives every entry that time, as --time does, unless --time is given."},
};

inline constexpr std::string_view ExitStatus =
    "0 on success; 1 for a problem with the archive or the folders (one line on standard error); 2 for "
    "a wrong command line.";

// The whole help text, wrapped to width columns.
std::string HelpText(std::string_view version, std::size_t width = 79);

// Text wrapped at blanks into lines of at most width columns (a longer word keeps its own line),
// each line after the indent; ends with a line feed.
std::string Wrap(std::string_view text, std::size_t indent, std::size_t width);

} // namespace vhbtool
