// A folder seen as one drive letter through the Win32 file services, every other path being the
// PC's own. Windows keeps attributes and times itself, so nothing is kept beside the files.
#include "platform/win32/MappedFolder.h"

#include "platform/api/LastError.h"
#include "platform/common/ForwardingFileSystem.h"
#include "platform/common/WinPath.h"
#include "platform/win32/Sys.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32Platform.h"

#include <cctype>

namespace platform::win32 {

namespace {

// The calls that name a path are translated; those through a handle go to files_ unchanged. The
// base is handed files_ before files_ is made, and only keeps the reference.
class MappedFolder final : public Platform, private ForwardingFileSystem {
public:
    MappedFolder(std::string folder, char letter)
        : ForwardingFileSystem(files_), folder_(std::move(folder)), letter_(letter) {}

    // Platform
    FileSystem& Files() override { return *this; }
    Volumes& Drives() override { return volumes_; }
    DeviceWatcher& Devices() override { return watcher_; }
    std::string HostPathOf(std::string_view windowsPath) override {
        std::string host;
        return Translate(windowsPath, &host) == ERROR_SUCCESS ? host : std::string();
    }
    std::string WindowsPathOf(std::string_view hostPath) override { return std::string(hostPath); }

private:
    // The mapped letter's paths into the folder (the parser refuses "..", so none leaves it); the
    // others unchanged. *inDriveRoot (when asked for): the path names an entry of a drive's root,
    // the mapped folder being its drive's.
    DWORD Translate(std::string_view path, std::string* out, bool wildcards = false,
                    bool* inDriveRoot = nullptr) {
        WinPath parsed;
        if (const DWORD err = ParseWinPath(path, &parsed, wildcards); err != ERROR_SUCCESS) {
            return err;
        }
        if (parsed.isHost || parsed.drive != letter_) {
            return NormalisePath(path, out, wildcards, inDriveRoot);
        }
        if (inDriveRoot != nullptr) {
            *inDriveRoot = parsed.components.size() == 1;
        }
        *out = folder_;
        for (const std::string& c : parsed.components) {
            *out += '\\';
            *out += c;
        }
        return ERROR_SUCCESS;
    }

    template <typename Call>
    auto WithPath(std::string_view path, Call call, decltype(call(std::string())) failed) {
        std::string p;
        if (const DWORD err = Translate(path, &p); err != ERROR_SUCCESS) {
            SetLastError(err);
            return failed;
        }
        return call(p);
    }

    // FileSystem
    Handle CreateFile(std::string_view path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags) override {
        return WithPath(
            path,
            [&](const std::string& p) { return files_.CreateFile(p, access, share, disposition, flags); },
            InvalidHandle);
    }
    DWORD GetFileAttributes(std::string_view path) override {
        return WithPath(
            path, [&](const std::string& p) { return files_.GetFileAttributes(p); }, INVALID_FILE_ATTRIBUTES);
    }
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override {
        return WithPath(
            path, [&](const std::string& p) { return files_.SetFileAttributes(p, attributes); }, FALSE);
    }
    BOOL CreateDirectory(std::string_view path) override {
        return WithPath(
            path, [&](const std::string& p) { return files_.CreateDirectory(p); }, FALSE);
    }
    BOOL DeleteFile(std::string_view path) override {
        return WithPath(
            path, [&](const std::string& p) { return files_.DeleteFile(p); }, FALSE);
    }
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override {
        std::string f, t;
        DWORD err = Translate(from, &f);
        if (err == ERROR_SUCCESS) {
            err = Translate(to, &t);
        }
        if (err != ERROR_SUCCESS) {
            return Fail(err);
        }
        return files_.MoveFileReplace(f, t);
    }
    DWORD DeleteTree(std::string_view path) override {
        std::string p;
        if (const DWORD err = Translate(path, &p); err != ERROR_SUCCESS) {
            return err;
        }
        return files_.DeleteTree(p);
    }
    Handle FindFirstFile(std::string_view pattern, FindData* data) override {
        std::string p;
        bool driveRoot = false;
        if (const DWORD err = Translate(pattern, &p, true, &driveRoot); err != ERROR_SUCCESS) {
            return FailHandle(err);
        }
        return files_.FindFirstFileListing(p, driveRoot, data);
    }

    std::string folder_;
    char letter_;
    Win32FileSystem files_;
    Win32Volumes volumes_;
    NoPollWatcher watcher_;
};

} // namespace

std::unique_ptr<Platform> CreateMappedFolderPlatform(const std::string& hostFolder, char letter,
                                                     std::string* error) {
    std::string folder = hostFolder;
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) {
        folder.pop_back();
    }
    const DWORD attributes = win32::GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = hostFolder + ": not a folder";
        return nullptr;
    }
    if (folder.size() == 3 && folder[2] == '\\') {
        folder.pop_back(); // "E:\" + "\name" would double the separator
    }
    return std::make_unique<MappedFolder>(
        folder, static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
}

} // namespace platform::win32
