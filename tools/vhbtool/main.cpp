// vhbtool: the command-line companion for greeting & data archives (.vhb, .vhp).
#include "Compare.h"
#include "FixedTimeFileSystem.h"
#include "Help.h"
#include "archive/Archive.h"
#include "archive/Check.h"
#include "platform/api/LastError.h"
#ifdef __linux__
#include "platform/host/HostPlatform.h"

#include <linux/magic.h>
#include <sys/vfs.h>
#elif defined(_WIN32)
#include "platform/win32/MappedFolder.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fsys = std::filesystem;

int UsageError(const std::string& text) {
    std::cerr << "vhbtool: " << text << " (see vhbtool --help)\n";
    return 2;
}

int Error(const std::string& text) {
    std::cerr << "vhbtool: " << text << "\n";
    return 1;
}

std::string ErrorText(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
        return "file not found";
    case ERROR_PATH_NOT_FOUND:
        return "path not found";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_DISK_FULL:
        return "disk full";
    case ERROR_SHARING_VIOLATION:
        return "in use";
    default:
        return "error " + std::to_string(code);
    }
}

#ifdef __linux__
// Whether the folder is on a FAT volume (a mounted card), which keeps creation times of its own.
bool OnFatVolume(const std::string& folder) {
    struct statfs st {};
    return statfs(folder.c_str(), &st) == 0 && st.f_type == MSDOS_SUPER_MAGIC;
}
#endif

// The platform of one command: a folder seen as drive X: (host paths work beside it); null with
// the reason in *error. On Linux the host's file services read and write a card's own attribute
// bytes and times, and keep them in extended attributes on any other file system; on Windows the
// Win32 file services do.
std::unique_ptr<platform::Platform> MapFolder(const std::string& folder, char letter, std::string* error) {
#ifdef __linux__
    // C:\ZEL\VoxHarbor plays no part in a vhbtool command; the folder itself exists, so nothing
    // is created for it.
    return platform::host::CreateFolderPlatform({{letter, folder, DRIVE_REMOVABLE, true, ""}}, folder, folder,
                                                error);
#else
    return platform::win32::CreateMappedFolderPlatform(folder, letter, error);
#endif
}

// An archive opened for reading, with its size, on the platform of its command.
struct OpenArchive {
    std::unique_ptr<platform::Platform> drive;
    platform::Handle h = platform::InvalidHandle;
    std::uint64_t size = 0;
    OpenArchive() = default;
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;
    platform::FileSystem& Files() { return drive->Files(); }
    ~OpenArchive() {
        if (h != platform::InvalidHandle) {
            Files().CloseHandle(h); // read only: nothing to lose
        }
    }
};

// Maps folder as drive letter (see MapFolder), then opens the archive at hostPath.
bool OpenForReading(OpenArchive& a, const std::string& folder, char letter, const std::string& hostPath,
                    std::string* error) {
    a.drive = MapFolder(folder, letter, error);
    if (!a.drive) {
        return false;
    }
    a.h = a.Files().CreateFile(hostPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (a.h == platform::InvalidHandle) {
        *error = hostPath + ": " + ErrorText(platform::GetLastError());
        return false;
    }
    if (!a.Files().GetFileSize(a.h, &a.size)) {
        *error = hostPath + ": cannot read its size (" + ErrorText(platform::GetLastError()) + ")";
        return false;
    }
    return true;
}

// Opens the archive as OpenForReading does and reads it whole as the program does before it
// changes a card, then goes back to its start: what to report when it cannot be opened, is
// refused or cannot be read again, else empty.
std::string OpenChecked(OpenArchive& a, const std::string& folder, char letter, const std::string& path,
                        archive::ArchiveCheck* check) {
    std::string error;
    if (!OpenForReading(a, folder, letter, path, &error)) {
        return error;
    }
    *check = archive::CheckArchive(a.Files(), a.h, a.size, true);
    if (check->problem) {
        return path + ": at byte " + std::to_string(check->problem->offset) + ": " + check->problem->text;
    }
    if (!a.Files().SetFilePointer(a.h, 0)) {
        return path + ": cannot be read again (" + ErrorText(platform::GetLastError()) + ")";
    }
    return {};
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    const fsys::path p = fsys::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

bool ParseRoot(const std::string& text, std::string* root) {
    if (!archive::IsDriveRoot(text)) {
        return false;
    }
    *root = text;
    (*root)[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return true;
}

// The options and operands of extract and compare: --root X:\ (and --keep-prompts where it is
// taken), then ARCHIVE and FOLDER. Nonzero: the usage error's exit status.
int ArchiveAndFolder(const std::string& command, const std::vector<std::string>& args, std::string* root,
                     std::vector<std::string>* rest, bool* keepPrompts = nullptr) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--keep-prompts" && keepPrompts != nullptr) {
            *keepPrompts = true;
        } else if (a == "--root" && i + 1 < args.size()) {
            if (!ParseRoot(args[++i], root)) {
                return UsageError("--root must be a drive root such as E:\\");
            }
        } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
            return UsageError(command + ": unknown or incomplete option " + a);
        } else {
            rest->push_back(a);
        }
    }
    return rest->size() == 2 ? 0 : UsageError(command + " needs ARCHIVE and FOLDER");
}

void JsonString(std::ostream& out, const std::string& s) {
    out << '"';
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (u < 0x20 || u >= 0x7F) {
            // 8-bit path text is shown as Latin-1, so the output stays valid UTF-8 JSON.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out << buf;
        } else {
            out << c;
        }
    }
    out << '"';
}

const char* KindName(archive::EntryKind kind) {
    switch (kind) {
    case archive::EntryKind::Directory:
        return "directory";
    case archive::EntryKind::File:
        return "file";
    default:
        return "other";
    }
}

int List(const std::vector<std::string>& args) {
    bool json = false;
    std::vector<std::string> rest;
    for (const std::string& a : args) {
        if (a == "--json") {
            json = true;
        } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
            return UsageError("list: unknown option " + a);
        } else {
            rest.push_back(a);
        }
    }
    if (rest.size() != 1) {
        return UsageError("list needs one ARCHIVE");
    }
    const std::string path = Absolute(rest[0]);
    std::string error;
    OpenArchive a;
    if (!OpenForReading(a, fsys::path(path).parent_path().string(), 'E', path, &error)) {
        return Error(error);
    }
    std::vector<archive::CheckedEntry> entries;
    // Every byte is read: what the program refuses is refused here too.
    const archive::ArchiveCheck inspection = archive::CheckArchive(
        a.Files(), a.h, a.size, true, [&](const archive::CheckedEntry& e) { entries.push_back(e); });
    if (json) {
        std::cout << "{\"version\": ";
        JsonString(std::cout, inspection.version);
        std::cout << ", \"entries\": [";
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& e = entries[i];
            std::cout << (i ? ", " : "") << "{\"path\": ";
            JsonString(std::cout, e.header.path);
            std::cout << ", \"attributes\": " << e.header.attributes << ", \"kind\": \"" << KindName(e.kind)
                      << "\", \"creationTime\": " << e.header.creationTime.Value()
                      << ", \"lastAccessTime\": " << e.header.lastAccessTime.Value()
                      << ", \"lastWriteTime\": " << e.header.lastWriteTime.Value()
                      << ", \"size\": " << e.dataBytes << "}";
        }
        std::cout << "]}\n";
    } else {
        std::cout << "version: " << inspection.version << "\n";
        for (const auto& e : entries) {
            std::cout << (e.kind == archive::EntryKind::Directory ? 'd'
                          : e.kind == archive::EntryKind::File    ? 'f'
                                                                  : '?')
                      << ' ' << e.header.attributes << ' ' << e.dataBytes << ' '
                      << e.header.creationTime.Value() << ' ' << e.header.lastAccessTime.Value() << ' '
                      << e.header.lastWriteTime.Value() << ' ' << e.header.path << "\n";
        }
    }
    // An empty file is listed as the program reads it: no version and no entries.
    if (inspection.problem && a.size != 0) {
        // What could be made out is listed; the archive is still reported as malformed.
        return Error(path + ": malformed at byte " + std::to_string(inspection.problem->offset) + ": " +
                     inspection.problem->text);
    }
    return 0;
}

int Verify(const std::vector<std::string>& args) {
    if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
        return UsageError("verify needs one ARCHIVE");
    }
    const std::string path = Absolute(args[0]);
    std::string error;
    OpenArchive a;
    if (!OpenForReading(a, fsys::path(path).parent_path().string(), 'E', path, &error)) {
        return Error(error);
    }
    const archive::ArchiveCheck inspection = archive::CheckArchive(a.Files(), a.h, a.size, true);
    for (const archive::ArchiveProblem& w : inspection.warnings) {
        std::cerr << "vhbtool: " << path << ": warning at byte " << w.offset << ": " << w.text << "\n";
    }
    if (inspection.problem) {
        return Error(path + ": at byte " + std::to_string(inspection.problem->offset) + ": " +
                     inspection.problem->text);
    }
    std::cout << path << ": well formed, version \"" << inspection.version << "\", " << inspection.entries
              << " entries, "
              << (inspection.checksumVerified ? "integrity record matches" : "no integrity record") << "\n";
    return 0;
}

std::optional<FILETIME> ParseFiletime(const std::string& text) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    try {
        return FILETIME::From(std::stoull(text));
    } catch (...) {
        return std::nullopt; // out of range
    }
}

int Create(const std::vector<std::string>& args) {
    std::string version;
    std::string root = "E:\\";
    std::optional<FILETIME> time;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--version" && hasValue) {
            version = args[++i];
        } else if (a == "--root" && hasValue) {
            if (!ParseRoot(args[++i], &root)) {
                return UsageError("--root must be a drive root such as E:\\");
            }
        } else if (a == "--time" && hasValue) {
            time = ParseFiletime(args[++i]);
            if (!time) {
                return UsageError("--time must be a FILETIME (100-ns intervals since 1601)");
            }
        } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
            return UsageError("create: unknown or incomplete option " + a);
        } else {
            rest.push_back(a);
        }
    }
    if (rest.size() != 2) {
        return UsageError("create needs FOLDER and ARCHIVE");
    }
    if (version.size() > archive::VersionFieldSize) {
        return UsageError("--version holds at most 6 characters");
    }
    if (!time) {
        if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
            const auto seconds = ParseFiletime(epoch);
            if (!seconds) {
                return UsageError("SOURCE_DATE_EPOCH must be a number of seconds");
            }
            time = FILETIME::From((seconds->Value() + 11644473600ull) * 10000000ull);
        }
    }
    const std::string folder = Absolute(rest[0]);
    const std::string target = Absolute(rest[1]);
    std::error_code ec;
    if (!fsys::is_directory(folder, ec)) {
        return Error(folder + ": not a folder");
    }
    const std::string relative = fsys::path(target).lexically_relative(folder).string();
    if (!relative.empty() && relative.rfind("..", 0) != 0) {
        return Error(target + ": the archive cannot be written inside the folder it archives");
    }
    std::string error;
    auto drive = MapFolder(folder, root[0], &error);
    if (!drive) {
        return Error(error);
    }
    platform::FileSystem& files = drive->Files();
    std::optional<vhbtool::FixedTimeFileSystem> fixed;
    if (time) {
        fixed.emplace(files, *time);
    }
    platform::FileSystem& source = fixed ? static_cast<platform::FileSystem&>(*fixed) : files;

    // Written beside the target and put in place when whole, so a failed run leaves no archive.
    const std::string partial = target + ".partial";
    const platform::Handle h = files.CreateFile(partial, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    if (h == platform::InvalidHandle) {
        return Error(partial + ": " + ErrorText(platform::GetLastError()));
    }
    archive::WriteProblem problem;
    archive::ArchiveTally tally;
    archive::WriterCallbacks callbacks;
    callbacks.tally = &tally;
    const bool written = archive::WriteVersionBlock(files, h, version, &problem, &tally) &&
                         archive::WriteIntegrityBlock(files, h, {}, &problem) &&
                         archive::WriteArchiveTree(source, root, h, callbacks, &problem) &&
                         archive::SealArchive(files, h, version, tally, &problem);
    const bool closed = files.CloseHandle(h);
    const DWORD closeError = closed ? 0 : platform::GetLastError();
    if (!written || !closed) {
        files.DeleteFile(partial); // a partial archive is no archive; its removal is best effort
        if (!closed && written) {
            return Error(partial + ": " + ErrorText(closeError));
        }
        switch (problem.kind) {
        case archive::WriteProblem::Kind::PathTooLong:
            return Error(problem.path + ": longer than the archive's 64-character path field");
        case archive::WriteProblem::Kind::CardReadFailed:
            return Error(problem.path + ": cannot be read (" + ErrorText(problem.error) + ")");
        default:
            return Error(target + ": cannot be written (" + ErrorText(problem.error) + ")");
        }
    }
    if (!files.MoveFileReplace(partial, target)) {
        const DWORD e = platform::GetLastError();
        files.DeleteFile(partial);
        return Error(target + ": " + ErrorText(e));
    }
    return 0;
}

int Extract(const std::vector<std::string>& args) {
    bool keepPrompts = false;
    std::string root = "E:\\";
    std::vector<std::string> rest;
    if (const int usage = ArchiveAndFolder("extract", args, &root, &rest, &keepPrompts)) {
        return usage;
    }
    const std::string source = Absolute(rest[0]);
    const std::string folder = Absolute(rest[1]);
    std::error_code ec;
    fsys::create_directories(folder, ec);
    if (ec) {
        return Error(folder + ": " + ec.message());
    }
    // Read whole first, as the program does: nothing of an archive it refuses is written.
    OpenArchive a;
    archive::ArchiveCheck check;
    if (const std::string refused = OpenChecked(a, folder, root[0], source, &check); !refused.empty()) {
        return Error(refused);
    }
    archive::ExtractCallbacks callbacks;
    callbacks.checked = &check.sums;
    std::string message;
    callbacks.showMessage = [&](const std::string& m) { message = m; };
    const archive::ExtractResult stats =
        keepPrompts ? archive::ExtractArchiveKeepPrompts(a.Files(), a.h, a.size, root, "", false, callbacks)
                    : archive::ExtractArchive(a.Files(), a.h, a.size, root, "", false, callbacks);
    const bool ok = stats.completed;
    // On a mounted card the restored files reach it here, all at once.
    if (ok && !a.Files().FlushVolume(root)) {
        return Error(folder + ": " + ErrorText(platform::GetLastError()));
    }
    if (!ok) {
        return Error(stats.changedSinceCheck ? source + ": changed while it was being extracted"
                     : stats.archiveReadError != 0
                         ? source + ": cannot be read (" + ErrorText(stats.archiveReadError) + ")"
                         : folder + ": " + message);
    }
    std::cout << stats.directoriesRestored << " directories and " << stats.filesRestored << " files restored";
    if (keepPrompts) {
        std::cout << ", " << stats.entriesKeptOnCard << " prompt entries left out";
    }
    std::cout << "\n";
    if (stats.entriesRefused + stats.entriesDamaged + stats.filesIncomplete > 0) {
        return Error(source + ": " + std::to_string(stats.entriesRefused) +
                     " entries refused (unsafe or malformed), " + std::to_string(stats.entriesDamaged) +
                     " damaged, " + std::to_string(stats.filesIncomplete) + " files incomplete");
    }
    return 0;
}

int Compare(const std::vector<std::string>& args) {
    std::string root = "E:\\";
    std::vector<std::string> rest;
    if (const int usage = ArchiveAndFolder("compare", args, &root, &rest)) {
        return usage;
    }
    const std::string source = Absolute(rest[0]);
    const std::string folder = Absolute(rest[1]);
    std::error_code ec;
    if (!fsys::is_directory(folder, ec)) {
        return Error(folder + ": not a folder");
    }
    OpenArchive a;
    archive::ArchiveCheck check;
    if (const std::string refused = OpenChecked(a, folder, root[0], source, &check); !refused.empty()) {
        return Error(refused);
    }
#ifdef __linux__
    // On a FAT card creation times are the card's own; a plain folder has them only where a writer
    // put them in its extended attributes (others show the birth time), so they are not compared.
    const bool withCreation = OnFatVolume(folder);
#else
    const bool withCreation = true;
#endif
    const std::vector<std::string> differences =
        vhbtool::CompareWithFolder(a.Files(), a.h, a.size, a.Files(), root, withCreation);
    for (const std::string& d : differences) {
        std::cout << d << "\n";
    }
    if (!differences.empty()) {
        return Error(source + " and " + folder + ": " + std::to_string(differences.size()) +
                     (differences.size() == 1 ? " difference" : " differences"));
    }
    std::cout << source << " and " << folder << " agree: " << check.entries << " entries\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return UsageError("no command");
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << vhbtool::HelpText(FK_VERSION);
        return 0;
    }
    if (command == "--version") {
        std::cout << "vhbtool " << FK_VERSION << "\n";
        return 0;
    }
    if (command == "list") {
        return List(args);
    }
    if (command == "verify") {
        return Verify(args);
    }
    if (command == "create") {
        return Create(args);
    }
    if (command == "extract") {
        return Extract(args);
    }
    if (command == "compare") {
        return Compare(args);
    }
    return UsageError("unknown command " + command);
}
