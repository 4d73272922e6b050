// Windows rules the file services must keep on a real PC, where Wine does not enforce them: tried
// on the test drive (see Win32PlatformTest.cpp) through a strict double of the system's file
// calls that enforces each documented rule, and UNC paths, which Wine does serve.
#include "platform/api/LastError.h"
#include "platform/win32/Win32FileSystem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

namespace {

using namespace platform;
using win32::FileCalls;
using win32::FindEntry;
using win32::NativeHandle;

bool StartsWithFolder(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '\\';
}

// The system's file calls with two documented rules added:
// - CreateFile with CREATE_ALWAYS refuses (access denied) to replace a hidden or system file
//   unless the call asks for the same attributes;
// - a junction (a folder standing for another) reports FILE_ATTRIBUTE_REPARSE_POINT, every path
//   below it reaches into its target, and RemoveDirectory removes the junction itself.
// A junction is an empty folder of the drive, registered here with its target.
class StrictFileCalls : public FileCalls {
public:
    std::map<std::string, std::string> junctions; // link folder -> target folder

    NativeHandle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t disposition, std::uint32_t flags) override {
        const std::string real = Resolve(path);
        const std::uint32_t existing = FileCalls::GetFileAttributesA(real);
        const std::uint32_t guarded = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (disposition == CREATE_ALWAYS && existing != INVALID_FILE_ATTRIBUTES &&
            (existing & guarded & ~flags) != 0) {
            win32::SetLastWin32Error(ERROR_ACCESS_DENIED);
            return win32::InvalidNative;
        }
        return FileCalls::CreateFileA(real, access, share, disposition, flags);
    }
    std::uint32_t GetFileAttributesA(const std::string& path) override {
        const std::uint32_t attributes = FileCalls::GetFileAttributesA(Resolve(path));
        return junctions.count(path) != 0 && attributes != INVALID_FILE_ATTRIBUTES
                   ? attributes | FILE_ATTRIBUTE_REPARSE_POINT
                   : attributes;
    }
    bool SetFileAttributesA(const std::string& path, std::uint32_t attributes) override {
        return FileCalls::SetFileAttributesA(Resolve(path), attributes);
    }
    bool CreateDirectoryA(const std::string& path) override {
        return FileCalls::CreateDirectoryA(Resolve(path));
    }
    bool RemoveDirectoryA(const std::string& path) override {
        if (junctions.count(path) != 0) {
            junctions.erase(path);
            return FileCalls::RemoveDirectoryA(path); // the link, not what it stands for
        }
        return FileCalls::RemoveDirectoryA(Resolve(path));
    }
    bool DeleteFileA(const std::string& path) override {
        if (junctions.count(path) != 0) {
            win32::SetLastWin32Error(ERROR_ACCESS_DENIED); // a folder
            return false;
        }
        return FileCalls::DeleteFileA(Resolve(path));
    }
    bool MoveFileReplace(const std::string& from, const std::string& to) override {
        return FileCalls::MoveFileReplace(Resolve(from), Resolve(to));
    }
    NativeHandle FindFirstFileA(const std::string& pattern, FindEntry* entry) override {
        const NativeHandle h = FileCalls::FindFirstFileA(Resolve(pattern), entry);
        if (h != win32::InvalidNative) {
            listed_[h] = pattern.substr(0, pattern.find_last_of('\\'));
            Mark(h, entry);
        }
        return h;
    }
    bool FindNextFileA(NativeHandle h, FindEntry* entry) override {
        const bool ok = FileCalls::FindNextFileA(h, entry);
        if (ok) {
            Mark(h, entry);
        }
        return ok;
    }

private:
    std::string Resolve(const std::string& path) const {
        for (const auto& [link, target] : junctions) {
            if (StartsWithFolder(path, link)) {
                return target + path.substr(link.size());
            }
        }
        return path;
    }
    void Mark(NativeHandle h, FindEntry* entry) {
        if (junctions.count(listed_[h] + "\\" + entry->name) != 0) {
            entry->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        }
    }
    std::map<NativeHandle, std::string> listed_;
};

class WindowsRules : public ::testing::Test {
protected:
    void SetUp() override {
        const char* letter = std::getenv("FK_WIN32_TEST_DRIVE");
        if (letter == nullptr || std::string(letter) != "E") {
            GTEST_SKIP() << "FK_WIN32_TEST_DRIVE names no drive E: for the tests";
        }
        // The drive's own folders, made without the double.
        win32::Win32FileSystem plain;
        for (const char* name : {"E:\\VM", "E:\\OUTSIDE", "E:\\HID.TXT", "E:\\SYS.TXT", "E:\\ALL.TXT"}) {
            plain.DeleteTree(name);
        }
    }
    void Put(FileSystem& fs, const std::string& path, const std::string& content, DWORD attributes = 0) {
        const Handle h = fs.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle) << path << ": error " << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(fs.WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written));
        ASSERT_TRUE(fs.CloseHandle(h));
        if (attributes != 0) {
            ASSERT_TRUE(fs.SetFileAttributes(path, attributes));
        }
    }
    std::string Get(FileSystem& fs, const std::string& path) {
        const Handle h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        if (h == InvalidHandle) {
            return "<" + std::to_string(GetLastError()) + ">";
        }
        std::string content(4096, '\0');
        DWORD got = 0;
        fs.ReadFile(h, content.data(), static_cast<DWORD>(content.size()), &got);
        fs.CloseHandle(h);
        return content.substr(0, got);
    }
    StrictFileCalls strict_;
    win32::Win32FileSystem fs_{strict_};
};

// A restore writes each file with CREATE_ALWAYS; a card's hidden and system files are replaced
// like any other, and keep being hidden or system until the archive's attributes are set.
TEST_F(WindowsRules, HiddenAndSystemFilesAreReplaced) {
    Put(fs_, "E:\\HID.TXT", "old", FILE_ATTRIBUTE_HIDDEN);
    Put(fs_, "E:\\SYS.TXT", "old", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    Put(fs_, "E:\\ALL.TXT", "old", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    // The double refuses what Windows refuses.
    EXPECT_EQ(strict_.CreateFileA("E:\\ALL.TXT", GENERIC_WRITE, 0, CREATE_ALWAYS, 0), win32::InvalidNative);
    EXPECT_EQ(win32::LastWin32Error(), ERROR_ACCESS_DENIED);
    for (const char* name : {"E:\\HID.TXT", "E:\\SYS.TXT", "E:\\ALL.TXT"}) {
        const DWORD before = fs_.GetFileAttributes(name);
        Put(fs_, name, "new");
        EXPECT_EQ(Get(fs_, name), "new") << name;
        const DWORD guarded = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        EXPECT_EQ(fs_.GetFileAttributes(name) & guarded, before & guarded) << name;
    }
}

// Deleting the card's prompts removes a junction inside them as a link; what it points at, which
// could be anywhere on the PC, stays whole.
TEST_F(WindowsRules, DeletingAFolderNeverEntersAJunction) {
    for (const char* folder : {"E:\\VM", "E:\\VM\\PROMPTS", "E:\\VM\\PROMPTS\\0", "E:\\VM\\PROMPTS\\0\\LINK",
                               "E:\\OUTSIDE", "E:\\OUTSIDE\\INNER"}) {
        ASSERT_TRUE(fs_.CreateDirectory(folder)) << folder;
    }
    Put(fs_, "E:\\VM\\PROMPTS\\0\\VERSION.TXT", "0110\r\n", FILE_ATTRIBUTE_READONLY);
    Put(fs_, "E:\\OUTSIDE\\KEEP.TXT", "keep");
    Put(fs_, "E:\\OUTSIDE\\INNER\\DEEP.TXT", "deep");
    strict_.junctions["E:\\VM\\PROMPTS\\0\\LINK"] = "E:\\OUTSIDE";
    ASSERT_EQ(Get(fs_, "E:\\VM\\PROMPTS\\0\\LINK\\KEEP.TXT"), "keep"); // the double follows it

    EXPECT_EQ(fs_.DeleteTree("E:\\VM\\PROMPTS"), 0u);
    EXPECT_EQ(fs_.GetFileAttributes("E:\\VM\\PROMPTS"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(strict_.junctions.empty());
    EXPECT_EQ(Get(fs_, "E:\\OUTSIDE\\KEEP.TXT"), "keep");
    EXPECT_EQ(Get(fs_, "E:\\OUTSIDE\\INNER\\DEEP.TXT"), "deep");
}

// A share's paths work as a drive's do. The runner shows the test drive's folder as
// \\localhost\fk too (Wine serves a share from dosdevices\unc).
TEST_F(WindowsRules, UncPathsWorkAsDrivePathsDo) {
    win32::Win32FileSystem fs;
    const std::string share = "\\\\localhost\\fk";
    ASSERT_TRUE(fs.CreateDirectory(share + "\\VM")) << GetLastError();
    Put(fs, share + "\\VM\\MBOX.DAT", "100\r\n", FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(Get(fs, "E:\\VM\\MBOX.DAT"), "100\r\n");
    EXPECT_EQ(Get(fs, "//localhost/fk/vm//mbox.dat"), "100\r\n");
    EXPECT_EQ(fs.GetFileAttributes(share + "\\VM") & FILE_ATTRIBUTE_DIRECTORY,
              DWORD{FILE_ATTRIBUTE_DIRECTORY});
    FindData found;
    const Handle listing = fs.FindFirstFile(share + "\\VM\\*.DAT", &found);
    ASSERT_NE(listing, InvalidHandle);
    EXPECT_EQ(found.fileName, "MBOX.DAT");
    fs.FindClose(listing);
    EXPECT_TRUE(fs.MoveFileReplace(share + "\\VM\\MBOX.DAT", share + "\\VM\\MOVED.DAT"));
    EXPECT_EQ(fs.DeleteTree(share + "\\VM"), 0u);
    EXPECT_EQ(fs.GetFileAttributes("E:\\VM"), INVALID_FILE_ATTRIBUTES);
    // Climbing out of the share, or a server without a share, is refused as on a drive.
    EXPECT_EQ(fs.CreateFile(share + "\\..\\x", GENERIC_READ, 0, OPEN_EXISTING, 0), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fs.CreateFile("\\\\localhost", GENERIC_READ, 0, OPEN_EXISTING, 0), InvalidHandle);
}

} // namespace
