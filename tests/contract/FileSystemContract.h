// The file-service contract every platform keeps: parameterised tests over a factory that makes
// a platform with a removable drive E: (an empty folder, medium present) and a fixed C:.
//
// Instantiate in a test executable:
//   INSTANTIATE_TEST_SUITE_P(Sim, FileSystemContract, ::testing::Values(ContractParam{"Sim", factory}),
//                            [](const auto& info) { return info.param.name; });
#pragma once

#include "platform/api/LastError.h"
#include "platform/api/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace fk_contract {

using namespace platform;

struct ContractPlatform {
    std::unique_ptr<Platform> platform;
    // Host folder behind E:\, for planting what the platform must refuse (links).
    std::string eFolder;
    // The drive keeps every FILETIME exactly (a real FAT volume rounds them).
    bool exactTimes = true;
    // ...also FILETIMEs far in the future (host file systems clamp them to their own range).
    bool farFutureTimes = true;
    // The drive is a FAT volume: write times in 2-second steps, access times as a date, times
    // past 2107 clamped to FAT's end.
    bool fatTimes = false;
    // The drive is small enough to fill in a test: writing past its end must fail with disk full.
    bool fillable = false;
    // The drive's host file system can hold symbolic links.
    bool symlinks = true;
    // The drive keeps a file's archive bit as set (Wine reports it set on every file).
    bool archiveBit = true;
    // The host's own paths are Windows paths (on Windows itself); otherwise they begin at '/'.
    bool hostPathsAreWindowsPaths = false;
};

struct ContractParam {
    std::string name;
    std::function<ContractPlatform(const std::string& tempDir)> make;
};

// Test listings show the platform's name instead of the parameter's bytes.
inline void PrintTo(const ContractParam& param, std::ostream* out) {
    *out << param.name;
}

class FileSystemContract : public ::testing::TestWithParam<ContractParam> {
protected:
    void SetUp() override {
        // A fresh folder of this process's own below the system's temporary folder.
        const auto base = std::filesystem::temp_directory_path();
        std::random_device random;
        std::error_code ec;
        for (int attempt = 0; attempt < 100 && temp_.empty(); ++attempt) {
            const auto folder = base / ("fkcontract-" + std::to_string(random()));
            if (std::filesystem::create_directory(folder, ec)) {
                temp_ = folder.string();
            }
        }
        ASSERT_FALSE(temp_.empty()) << "no temporary folder in " << base << ": " << ec.message();
        env_ = GetParam().make(temp_);
        ASSERT_NE(env_.platform, nullptr);
        fs_ = &env_.platform->Files();
    }

    void TearDown() override {
        env_.platform.reset();
        std::error_code ec;
        std::filesystem::remove_all(temp_, ec);
    }

    // Opens, writes content, closes; asserts each step.
    void Put(const std::string& path, const std::string& content) {
        const Handle h = fs_->CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle) << path << " error " << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(fs_->WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written));
        ASSERT_EQ(written, content.size());
        ASSERT_TRUE(fs_->CloseHandle(h));
    }

    std::string Get(const std::string& path) {
        const Handle h = fs_->CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        EXPECT_NE(h, InvalidHandle) << path << " error " << GetLastError();
        if (h == InvalidHandle) {
            return "<cannot open>";
        }
        std::string content;
        char buffer[777]; // an odd size, so reads straddle any internal buffer
        DWORD read = 0;
        while (fs_->ReadFile(h, buffer, sizeof buffer, &read) && read > 0) {
            content.append(buffer, read);
        }
        EXPECT_TRUE(fs_->CloseHandle(h));
        return content;
    }

    // Expects the open to fail with code.
    void ExpectOpenFails(const std::string& path, DWORD access, DWORD disposition, DWORD flags, DWORD code) {
        SetLastError(0);
        const Handle h = fs_->CreateFile(path, access, FILE_SHARE_NONE, disposition, flags);
        EXPECT_EQ(h, InvalidHandle) << path;
        EXPECT_EQ(GetLastError(), code) << path;
        if (h != InvalidHandle) {
            fs_->CloseHandle(h);
        }
    }

    std::vector<FindData> List(const std::string& pattern, DWORD* error = nullptr) {
        std::vector<FindData> entries;
        FindData data;
        const Handle h = fs_->FindFirstFile(pattern, &data);
        if (h == InvalidHandle) {
            if (error != nullptr) {
                *error = GetLastError();
            }
            return entries;
        }
        entries.push_back(data);
        while (fs_->FindNextFile(h, &data)) {
            entries.push_back(data);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(fs_->FindClose(h));
        return entries;
    }

    static std::vector<std::string> Names(const std::vector<FindData>& entries) {
        std::vector<std::string> names;
        for (const FindData& e : entries) {
            names.push_back(e.fileName);
        }
        return names;
    }

    // The whole backup stream of an entry, read in pieces of pieceSize.
    std::string BackupStreamOf(const std::string& path, DWORD flags, DWORD pieceSize = 1024) {
        const Handle h = fs_->CreateFile(path, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, flags);
        EXPECT_NE(h, InvalidHandle) << path;
        std::string stream;
        std::vector<std::uint8_t> buffer(pieceSize);
        void* context = nullptr;
        DWORD read = 0;
        while (fs_->BackupRead(h, buffer.data(), pieceSize, &read, FALSE, &context) && read > 0) {
            stream.append(reinterpret_cast<const char*>(buffer.data()), read);
        }
        EXPECT_TRUE(fs_->BackupRead(h, nullptr, 0, &read, TRUE, &context));
        EXPECT_EQ(context, nullptr);
        fs_->CloseHandle(h);
        return stream;
    }

    DWORD Attributes(const std::string& path) { return fs_->GetFileAttributes(path); }

    static bool EqualNoCaseAscii(const std::string& a, const std::string& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    }

    static std::string Pattern(std::size_t size) {
        std::string s(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            s[i] = static_cast<char>((i * 131 + i / 1024) & 0xFF);
        }
        return s;
    }

    static std::string DataHeader(std::uint64_t size) {
        std::string h(20, '\0');
        h[0] = 1; // BACKUP_DATA
        for (int i = 0; i < 8; ++i) {
            h[8 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        }
        return h;
    }

    std::string temp_;
    ContractPlatform env_;
    FileSystem* fs_ = nullptr;
};

TEST_P(FileSystemContract, OpenReportsTheErrorsTheProgramExamines) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\DIR"));
    Put("E:\\DIR\\FILE.TXT", "x");
    ExpectOpenFails("E:\\DIR\\NONE.TXT", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND);
    ExpectOpenFails("E:\\NODIR\\NONE.TXT", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND);
    ExpectOpenFails("E:\\NODIR\\NONE.TXT", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND);
    // A directory (and a root) opened as a file: access denied, which the probes count as present.
    ExpectOpenFails("E:\\DIR", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
    ExpectOpenFails("E:\\", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
    ExpectOpenFails("E:\\DIR\\FILE.TXT\\MORE", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND);
    ExpectOpenFails("E:\\DIR\\FILE.TXT", GENERIC_READ, CREATE_NEW, 0, ERROR_FILE_EXISTS);

    for (const char* dir : {"E:\\DIR", "E:\\DIR\\", "E:\\"}) {
        const Handle h =
            fs_->CreateFile(dir, GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        EXPECT_NE(h, InvalidHandle) << dir;
        EXPECT_TRUE(fs_->CloseHandle(h));
    }
    // Sharing: no sharing refuses a second open; shared reading allows it.
    const Handle first =
        fs_->CreateFile("E:\\DIR\\FILE.TXT", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_NE(first, InvalidHandle);
    ExpectOpenFails("E:\\dir\\file.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(fs_->DeleteFile("E:\\DIR\\FILE.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(fs_->CloseHandle(first));
    const Handle a = fs_->CreateFile("E:\\DIR\\FILE.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    const Handle b = fs_->CreateFile("E:\\DIR\\FILE.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_NE(a, InvalidHandle);
    EXPECT_NE(b, InvalidHandle);
    ExpectOpenFails("E:\\DIR\\FILE.TXT", GENERIC_WRITE, OPEN_EXISTING, 0, ERROR_SHARING_VIOLATION);
    fs_->CloseHandle(a);
    fs_->CloseHandle(b);
    // Handles that are not open.
    DWORD n = 0;
    char c = 0;
    EXPECT_FALSE(fs_->ReadFile(a, &c, 1, &n));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(fs_->CloseHandle(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_P(FileSystemContract, DispositionsCreateTruncateAndKeep) {
    // OPEN_ALWAYS creates a missing file (last error 0) and opens an existing one (183), keeping it.
    SetLastError(1234);
    Handle h = fs_->CreateFile("E:\\A.TXT", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    DWORD written = 0;
    ASSERT_TRUE(fs_->WriteFile(h, "hello", 5, &written));
    fs_->CloseHandle(h);
    h = fs_->CreateFile("E:\\A.TXT", GENERIC_READ, FILE_SHARE_NONE, OPEN_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    std::uint64_t size = 0;
    EXPECT_TRUE(fs_->GetFileSize(h, &size));
    EXPECT_EQ(size, 5u);
    fs_->CloseHandle(h);
    EXPECT_EQ(Get("E:\\A.TXT"), "hello");

    // CREATE_ALWAYS replaces the content (183 when it existed).
    h = fs_->CreateFile("E:\\A.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(fs_->WriteFile(h, "ab", 2, &written));
    fs_->CloseHandle(h);
    EXPECT_EQ(Get("E:\\A.TXT"), "ab");

    h = fs_->CreateFile("E:\\A.TXT", GENERIC_WRITE, FILE_SHARE_NONE, TRUNCATE_EXISTING, 0);
    ASSERT_NE(h, InvalidHandle);
    fs_->CloseHandle(h);
    EXPECT_EQ(Get("E:\\A.TXT"), "");
    ExpectOpenFails("E:\\B.TXT", GENERIC_WRITE, TRUNCATE_EXISTING, 0, ERROR_FILE_NOT_FOUND);

    // In a folder found before, as a restore writes the files of one folder, an existing name in
    // another case is still found: CREATE_NEW refuses it, CREATE_ALWAYS a read-only one, and
    // CREATE_ALWAYS replaces the other's content under its first name.
    ASSERT_TRUE(fs_->CreateDirectory("E:\\DIR"));
    ASSERT_TRUE(fs_->CreateDirectory("E:\\DIR\\SUB"));
    Put("E:\\DIR\\SUB\\ONE.TXT", "1");
    Put("E:\\DIR\\SUB\\Two.txt", "2");
    ExpectOpenFails("E:\\DIR\\SUB\\two.TXT", GENERIC_WRITE, CREATE_NEW, 0, ERROR_FILE_EXISTS);
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\DIR\\SUB\\ONE.TXT", FILE_ATTRIBUTE_READONLY));
    ExpectOpenFails("E:\\DIR\\SUB\\one.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ACCESS_DENIED);
    Put("E:\\DIR\\SUB\\TWO.TXT", "22");
    EXPECT_EQ(Get("E:\\DIR\\SUB\\one.txt"), "1");
    std::vector<std::string> names = Names(List("E:\\DIR\\SUB\\*.*"));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "ONE.TXT", "Two.txt"}));
    EXPECT_EQ(Get("E:\\DIR\\SUB\\Two.txt"), "22");
    // Read there as a backup reads: by another case, a folder, a missing name, a file in use.
    ASSERT_TRUE(fs_->CreateDirectory("E:\\DIR\\SUB\\DEEPER"));
    EXPECT_EQ(fs_->GetFileAttributes("E:\\DIR\\SUB\\one.TXT") & FILE_ATTRIBUTE_READONLY,
              DWORD{FILE_ATTRIBUTE_READONLY});
    EXPECT_EQ(fs_->GetFileAttributes("E:\\DIR\\SUB\\deeper"), DWORD{FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_EQ(fs_->GetFileAttributes("E:\\DIR\\SUB\\NONE.TXT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ExpectOpenFails("E:\\DIR\\SUB\\Deeper", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
    ExpectOpenFails("E:\\DIR\\SUB\\NONE.TXT", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND);
    h = fs_->CreateFile("E:\\DIR\\SUB\\TWO.TXT", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\DIR\\SUB\\two.txt"), DWORD{FILE_ATTRIBUTE_ARCHIVE});
    ExpectOpenFails("E:\\DIR\\SUB\\two.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_SHARING_VIOLATION);
    fs_->CloseHandle(h);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\DIR\\SUB\\two.txt"), DWORD{FILE_ATTRIBUTE_ARCHIVE});
    EXPECT_EQ(Get("E:\\DIR\\SUB\\two.txt"), "22");

    // A write-only handle cannot read, a read-only handle cannot write.
    h = fs_->CreateFile("E:\\A.TXT", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    EXPECT_FALSE(fs_->WriteFile(h, "x", 1, &written));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    fs_->CloseHandle(h);
}

TEST_P(FileSystemContract, TheFilePositionMovesForReadsAndWrites) {
    // A restore checks an archive by its headers and comes back to its start; a backup fills in
    // its first blocks last.
    Put("E:\\P.TXT", "0123456789");
    Handle h = fs_->CreateFile("E:\\P.TXT", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_NE(h, InvalidHandle);
    char buffer[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(fs_->ReadFile(h, buffer, 2, &read));
    ASSERT_TRUE(fs_->SetFilePointer(h, 6));
    ASSERT_TRUE(fs_->ReadFile(h, buffer, 8, &read));
    EXPECT_EQ(std::string(buffer, read), "6789");
    ASSERT_TRUE(fs_->SetFilePointer(h, 0));
    ASSERT_TRUE(fs_->ReadFile(h, buffer, 3, &read));
    EXPECT_EQ(std::string(buffer, read), "012");
    fs_->CloseHandle(h);

    h = fs_->CreateFile("E:\\P.TXT", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_NE(h, InvalidHandle);
    DWORD written = 0;
    ASSERT_TRUE(fs_->SetFilePointer(h, 2));
    ASSERT_TRUE(fs_->WriteFile(h, "XY", 2, &written));
    fs_->CloseHandle(h);
    EXPECT_EQ(Get("E:\\P.TXT"), "01XY456789");

    // What a backup does last: the file flushed, then read back around the system's cache, in
    // pieces of any size and from any position, up to its end.
    std::string big(10000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7 + i / 251);
    }
    h = fs_->CreateFile("E:\\P.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_TRUE(fs_->WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &written));
    EXPECT_TRUE(fs_->FlushFileBuffers(h));
    ASSERT_TRUE(fs_->CloseHandle(h));
    h = fs_->CreateFile("E:\\P.TXT", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(h, InvalidHandle);
    std::string back(12000, '\0');
    ASSERT_TRUE(fs_->ReadFile(h, back.data(), 1001, &read));
    EXPECT_EQ(read, 1001u);
    ASSERT_TRUE(fs_->ReadFile(h, back.data() + 1001, 10999, &read));
    EXPECT_EQ(read, 8999u);
    EXPECT_EQ(back.substr(0, big.size()), big);
    ASSERT_TRUE(fs_->SetFilePointer(h, 4097));
    ASSERT_TRUE(fs_->ReadFile(h, back.data(), 7, &read));
    EXPECT_EQ(back.substr(0, read), big.substr(4097, 7));
    fs_->CloseHandle(h);

    // A backup read back while it is written: the reading handle, opened first, sees what the
    // writing one wrote and flushed after it, also in memory and at positions aligned as
    // unbuffered reads want them.
    h = fs_->CreateFile("E:\\P.TXT", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    ASSERT_TRUE(fs_->WriteFile(h, big.data(), 5000, &written));
    ASSERT_TRUE(fs_->FlushFileBuffers(h));
    const Handle r = fs_->CreateFile("E:\\P.TXT", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     OPEN_EXISTING, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(r, InvalidHandle);
    ASSERT_TRUE(fs_->ReadFile(r, back.data(), 12000, &read));
    EXPECT_EQ(back.substr(0, read), big.substr(0, 5000));
    ASSERT_TRUE(fs_->WriteFile(h, big.data() + 5000, 5000, &written));
    ASSERT_TRUE(fs_->FlushFileBuffers(h));
    ASSERT_TRUE(fs_->ReadFile(r, back.data(), 12000, &read));
    EXPECT_EQ(back.substr(0, read), big.substr(5000));
    struct alignas(4096) Page {
        char bytes[4096];
    };
    const auto pages = std::make_unique<Page[]>(2);
    char* const aligned = pages[0].bytes;
    ASSERT_TRUE(fs_->SetFilePointer(r, 4096));
    ASSERT_TRUE(fs_->ReadFile(r, aligned, 8192, &read));
    EXPECT_EQ(std::string(aligned, read), big.substr(4096));
    ASSERT_TRUE(fs_->ReadFile(r, aligned, 4096, &read));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(fs_->CloseHandle(r));
    EXPECT_TRUE(fs_->CloseHandle(h));
}

TEST_P(FileSystemContract, PathsAreCaseInsensitiveAndTolerateDoubledSeparators) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VoxHarbor"));
    ASSERT_TRUE(fs_->CreateDirectory("e:\\VOXHARBOR\\Backup\\"));
    Put("E:\\\\VoxHarbor\\\\Backup\\Card One.vhb", "data");
    EXPECT_EQ(Get("e:/voxharbor/BACKUP/card one.VHB"), "data");
    EXPECT_EQ(Get("E:\\VoxHarbor\\.\\Backup\\\\Card One.vhb"), "data");
    EXPECT_FALSE(fs_->CreateDirectory("E:\\VOXHARBOR"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(fs_->CreateDirectory("E:\\NONE\\SUB"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // Names keep the case they were created with.
    EXPECT_EQ(Names(List("E:\\VOXHARBOR\\BACKUP\\*.*")),
              (std::vector<std::string>{".", "..", "Card One.vhb"}));
    EXPECT_EQ(Names(List("e:\\voxharbor\\backup\\CARD ONE.VHB")), (std::vector<std::string>{"Card One.vhb"}));
    // Overwriting under another spelling keeps one file with the first name.
    Put("E:\\VOXHARBOR\\BACKUP\\CARD ONE.VHB", "new");
    EXPECT_EQ(Names(List("E:\\VoxHarbor\\Backup\\*.*")),
              (std::vector<std::string>{".", "..", "Card One.vhb"}));
    EXPECT_EQ(Attributes("E:\\voxharbor\\backup"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_P(FileSystemContract, AttributeWordsRoundTripAndReadOnlyRefusesWriting) {
    Put("E:\\F.TXT", "x");
    EXPECT_EQ(fs_->GetFileAttributes("E:\\F.TXT") & ~FILE_ATTRIBUTE_ARCHIVE, 0u);
    for (DWORD word :
         {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
          FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_NORMAL}) {
        ASSERT_TRUE(fs_->SetFileAttributes("E:\\F.TXT", word));
        if (env_.archiveBit) {
            EXPECT_EQ(fs_->GetFileAttributes("e:\\f.txt"), word);
        } else {
            EXPECT_EQ(fs_->GetFileAttributes("e:\\f.txt") & ~(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL),
                      word & ~(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL));
        }
    }
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\F.TXT", 0));
    if (env_.archiveBit) {
        EXPECT_EQ(fs_->GetFileAttributes("E:\\F.TXT"), FILE_ATTRIBUTE_NORMAL);
    }

    ASSERT_TRUE(fs_->CreateDirectory("E:\\D"));
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\D", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(fs_->GetFileAttributes("E:\\D"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\"), FILE_ATTRIBUTE_DIRECTORY);

    SetLastError(0);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\NONE"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\NONE\\X"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // Read-only: no open for writing, no delete, no replacing; reading still works.
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\F.TXT", FILE_ATTRIBUTE_READONLY));
    ExpectOpenFails("E:\\F.TXT", GENERIC_WRITE, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
    ExpectOpenFails("E:\\F.TXT", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs_->DeleteFile("E:\\F.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get("E:\\F.TXT"), "x");
    // An open handle may still set a read-only word and go on writing (as the extractor does).
    const Handle h = fs_->CreateFile("E:\\G.TXT", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\G.TXT", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    DWORD written = 0;
    EXPECT_TRUE(fs_->WriteFile(h, "yz", 2, &written));
    EXPECT_TRUE(fs_->CloseHandle(h));
    EXPECT_EQ(Get("E:\\G.TXT"), "yz");
    EXPECT_EQ(fs_->GetFileAttributes("E:\\G.TXT"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
}

TEST_P(FileSystemContract, TimesRoundTripAndStayWhenDataFollows) {
    // Low halves above 2^31, as half of all real times have.
    const FILETIME creation{0x89ABCDE0u, 0x01D9F00Du};
    const FILETIME access{0xFFFFFF00u, 0x01DA0001u};
    const FILETIME write{0x80000000u, 0x01DA0002u};
    Handle h = fs_->CreateFile("E:\\T.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    ASSERT_TRUE(fs_->SetFileTime(h, &creation, &access, &write));
    // Data written after the times were set must not move them (the extractor's order).
    DWORD written = 0;
    ASSERT_TRUE(fs_->WriteFile(h, "data", 4, &written));
    ASSERT_TRUE(fs_->CloseHandle(h));

    h = fs_->CreateFile("E:\\T.BIN", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    FILETIME c, a, w;
    ASSERT_TRUE(fs_->GetFileTime(h, &c, &a, &w));
    // A read-only handle may not change times.
    EXPECT_FALSE(fs_->SetFileTime(h, nullptr, &access, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    fs_->CloseHandle(h);
    if (env_.exactTimes) {
        EXPECT_EQ(c, creation);
        EXPECT_EQ(a, access);
        EXPECT_EQ(w, write);
    } else {
        EXPECT_NEAR(static_cast<double>(w.Value()), static_cast<double>(write.Value()), 2.0e7);
    }
    if (env_.fatTimes) {
        constexpr std::uint64_t Second = 10'000'000, Day = 86'400 * Second;
        EXPECT_EQ(w.Value() % (2 * Second), 0u) << "FAT keeps write times in 2-second steps";
        EXPECT_LE(w.Value(), write.Value());
        EXPECT_EQ(a.Value() % Day, 0u) << "FAT keeps the access date only";
        EXPECT_EQ(a.Value() / Day, access.Value() / Day);
    }

    // A directory's times, set through a handle opened with backup semantics.
    ASSERT_TRUE(fs_->CreateDirectory("E:\\DIR"));
    h = fs_->CreateFile("E:\\DIR", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(fs_->SetFileTime(h, &creation, nullptr, &write));
    fs_->CloseHandle(h);
    const auto entries = List("E:\\*.*");
    ASSERT_EQ(entries.size(), 2u);
    const FindData& dir = entries[0].fileName == "DIR" ? entries[0] : entries[1];
    EXPECT_EQ(dir.attributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    if (env_.exactTimes) {
        EXPECT_EQ(dir.creationTime, creation);
        EXPECT_EQ(dir.lastWriteTime, write);
    }

    if (env_.fatTimes) {
        // Past FAT's last day (2107-12-31) a time is kept as that day, never wrapped to 1980.
        const FILETIME far{0xFFFFFFFFu, 0x8FFFFFFFu};
        h = fs_->CreateFile("E:\\T.BIN", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, 0);
        ASSERT_TRUE(fs_->SetFileTime(h, nullptr, &far, &far));
        fs_->CloseHandle(h);
        h = fs_->CreateFile("E:\\T.BIN", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
        ASSERT_TRUE(fs_->GetFileTime(h, &c, &a, &w));
        fs_->CloseHandle(h);
        constexpr std::uint64_t Year2107 = 159'677'568'000'000'000ull; // 2107-01-01 00:00 UTC
        EXPECT_GE(w.Value(), Year2107);
        EXPECT_GE(a.Value(), Year2107);
    }
    if (env_.exactTimes && env_.farFutureTimes) {
        // Both halves above 2^31 (far future) survive as well.
        const FILETIME far{0xFFFFFFFFu, 0x8FFFFFFFu};
        h = fs_->CreateFile("E:\\T.BIN", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, 0);
        ASSERT_TRUE(fs_->SetFileTime(h, &far, &far, &far));
        fs_->CloseHandle(h);
        h = fs_->CreateFile("E:\\T.BIN", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
        ASSERT_TRUE(fs_->GetFileTime(h, &c, &a, &w));
        fs_->CloseHandle(h);
        EXPECT_EQ(c, far);
        EXPECT_EQ(a, far);
        EXPECT_EQ(w, far);
    }
}

TEST_P(FileSystemContract, ListingsShowDotEntriesOnlyBelowTheRoot) {
    DWORD error = 0;
    EXPECT_TRUE(List("E:\\*.*", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND); // an empty root has nothing, not even "."

    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    Put("E:\\README", "12345");
    Put("E:\\VM\\A.VOX", std::string(1500, 'a'));
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM\\SUB"));

    const auto root = List("E:\\*.*");
    EXPECT_EQ(root.size(), 2u);
    for (const FindData& e : root) {
        EXPECT_NE(e.fileName, ".");
        EXPECT_NE(e.fileName, "..");
        if (e.fileName == "README") {
            EXPECT_EQ(e.fileSize, 5u);
            EXPECT_EQ(e.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        } else {
            EXPECT_EQ(e.fileName, "VM");
            EXPECT_NE(e.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        }
    }
    const auto vm = List("E:\\\\VM\\*.*");
    ASSERT_EQ(vm.size(), 4u);
    EXPECT_EQ(vm[0].fileName, ".");
    EXPECT_EQ(vm[1].fileName, "..");
    EXPECT_NE(vm[0].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(vm[1].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // The order is the file system's own, but it is the same every time.
    EXPECT_EQ(Names(List("E:\\VM\\*.*")), Names(vm));
    // A sub-directory that holds nothing still lists its two dot entries.
    EXPECT_EQ(Names(List("E:\\VM\\SUB\\*.*")), (std::vector<std::string>{".", ".."}));

    EXPECT_TRUE(List("E:\\NONE\\*.*", &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(List("E:\\VM\\NONE.TXT", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Names(List("E:\\VM\\*.VOX")), (std::vector<std::string>{"A.VOX"}));
}

// A backup queries and opens every file right after its listing returned it. What happened to
// the name in between shows: a file moved into its place, a file deleted, a file in use.
TEST_P(FileSystemContract, AFileJustListedIsQueriedAndOpenedAsItIsNow) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    for (const char* name : {"KEPT.TXT", "MOVED.TXT", "GONE.TXT", "BUSY.TXT"}) {
        Put(std::string("E:\\VM\\") + name, name);
    }
    Put("E:\\OTHER.TXT", "moved in");
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\OTHER.TXT", FILE_ATTRIBUTE_READONLY));
    const Handle busy = fs_->CreateFile("E:\\VM\\BUSY.TXT", GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_NE(busy, InvalidHandle);

    FindData found;
    const Handle listing = fs_->FindFirstFile("E:\\VM\\*.*", &found);
    ASSERT_NE(listing, InvalidHandle);
    std::vector<std::string> seen;
    do {
        const std::string path = "E:\\VM\\" + found.fileName;
        if (found.fileName == "MOVED.TXT") {
            ASSERT_TRUE(fs_->MoveFileReplace("E:\\OTHER.TXT", path));
        } else if (found.fileName == "GONE.TXT") {
            ASSERT_TRUE(fs_->DeleteFile(path));
        } else if (found.fileName == "." || found.fileName == "..") {
            continue;
        }
        seen.push_back(found.fileName);
        SetLastError(0);
        const DWORD attributes = fs_->GetFileAttributes(path);
        if (found.fileName == "GONE.TXT") {
            EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES);
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
            ExpectOpenFails(path, GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND);
        } else if (found.fileName == "BUSY.TXT") {
            EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);
            ExpectOpenFails(path, GENERIC_READ, OPEN_EXISTING, 0, ERROR_SHARING_VIOLATION);
        } else {
            const bool moved = found.fileName == "MOVED.TXT";
            EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, moved ? DWORD{FILE_ATTRIBUTE_READONLY} : 0u)
                << path;
            EXPECT_EQ(Get(path), moved ? "moved in" : "KEPT.TXT");
        }
    } while (fs_->FindNextFile(listing, &found));
    EXPECT_TRUE(fs_->FindClose(listing));
    EXPECT_TRUE(fs_->CloseHandle(busy));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"BUSY.TXT", "GONE.TXT", "KEPT.TXT", "MOVED.TXT"}));
}

TEST_P(FileSystemContract, BackupStreamsRoundTripAtEveryBlockBoundary) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1003}, std::size_t{1004},
                             std::size_t{1005}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        const std::string content = Pattern(size);
        Put("E:\\SRC.BIN", content);
        const std::string stream = BackupStreamOf("E:\\SRC.BIN", 0);
        ASSERT_EQ(stream, DataHeader(size) + content);

        // Cut into 1024-byte blocks padded with zeros, as an archive holds it.
        std::string padded = stream;
        padded.resize((stream.size() / 1024 + 1) * 1024, '\0');
        const Handle h = fs_->CreateFile("E:\\DST.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        ASSERT_NE(h, InvalidHandle);
        void* context = nullptr;
        bool rejected = false;
        for (std::size_t off = 0; off < padded.size(); off += 1024) {
            DWORD written = 1234;
            const BOOL ok = fs_->BackupWrite(h, reinterpret_cast<const std::uint8_t*>(padded.data() + off),
                                             1024, &written, FALSE, &context);
            if (!ok) {
                // Only the padding of the final block may be refused, as invalid data.
                EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
                EXPECT_EQ(written, 0u);
                EXPECT_EQ(off + 1024, padded.size());
                rejected = true;
                break;
            }
            EXPECT_EQ(written, 1024u);
        }
        // Padding of 20 bytes or more holds a whole zero header, which is refused.
        EXPECT_EQ(rejected, padded.size() - stream.size() >= 20);
        DWORD written = 0;
        EXPECT_TRUE(fs_->BackupWrite(h, nullptr, 0, &written, TRUE, &context));
        EXPECT_EQ(context, nullptr);
        ASSERT_TRUE(fs_->CloseHandle(h));
        EXPECT_EQ(Get("E:\\DST.BIN"), content);
    }
}

TEST_P(FileSystemContract, BackupWriteParsesRecordsAcrossCallsAndSkipsOtherStreams) {
    // An alternate-data record (id 4) with a name, then the data record, fed in 7-byte pieces so
    // that every header is split between calls.
    std::string stream(20, '\0');
    stream[0] = 4;
    stream[8] = 5;  // 5 bytes of data
    stream[16] = 6; // 6 bytes of name
    stream += "NAME..";
    stream += "ALTDA";
    stream += DataHeader(11) + "hello world";
    const Handle h = fs_->CreateFile("E:\\S.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    void* context = nullptr;
    for (std::size_t off = 0; off < stream.size(); off += 7) {
        const auto n = static_cast<DWORD>(std::min<std::size_t>(7, stream.size() - off));
        DWORD written = 0;
        ASSERT_TRUE(fs_->BackupWrite(h, reinterpret_cast<const std::uint8_t*>(stream.data() + off), n,
                                     &written, FALSE, &context));
        EXPECT_EQ(written, n);
    }
    DWORD written = 0;
    EXPECT_TRUE(fs_->BackupWrite(h, nullptr, 0, &written, TRUE, &context));
    fs_->CloseHandle(h);
    EXPECT_EQ(Get("E:\\S.BIN"), "hello world");

    // A stream id above 9 is no record.
    std::string bad(20, '\0');
    bad[0] = 10;
    const Handle h2 = fs_->CreateFile("E:\\S2.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    context = nullptr;
    EXPECT_FALSE(fs_->BackupWrite(h2, reinterpret_cast<const std::uint8_t*>(bad.data()), 20, &written, FALSE,
                                  &context));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_TRUE(fs_->BackupWrite(h2, nullptr, 0, &written, TRUE, &context));
    fs_->CloseHandle(h2);

    // A handle that is not open.
    context = nullptr;
    EXPECT_FALSE(fs_->BackupWrite(h2, reinterpret_cast<const std::uint8_t*>(stream.data()), 20, &written,
                                  FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    std::uint8_t buffer[64];
    DWORD read = 0;
    EXPECT_FALSE(fs_->BackupRead(h2, buffer, sizeof buffer, &read, FALSE, &context));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(fs_->BackupWrite(h2, nullptr, 0, &written, TRUE, &context));
    EXPECT_EQ(context, nullptr);
}

TEST_P(FileSystemContract, DirectoryStreamIsEmpty) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\D"));
    EXPECT_EQ(BackupStreamOf("E:\\D", FILE_FLAG_BACKUP_SEMANTICS), "");
}

TEST_P(FileSystemContract, DeleteTreeMoveAndDelete) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM"));
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM\\PROMPTS"));
    ASSERT_TRUE(fs_->CreateDirectory("E:\\VM\\PROMPTS\\0"));
    Put("E:\\VM\\PROMPTS\\0\\VERSION.TXT", "0110\r\n");
    ASSERT_TRUE(fs_->SetFileAttributes("E:\\VM\\PROMPTS\\0\\VERSION.TXT", FILE_ATTRIBUTE_READONLY));
    Put("E:\\VM\\KEEP.TXT", "keep");
    EXPECT_EQ(fs_->DeleteTree("E:\\vm\\prompts"), 0u);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\VM\\PROMPTS"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Get("E:\\VM\\KEEP.TXT"), "keep");
    EXPECT_NE(fs_->DeleteTree("E:\\VM\\PROMPTS"), 0u);

    Put("E:\\VM\\NEW.TMP", "finished");
    EXPECT_TRUE(fs_->MoveFileReplace("E:\\VM\\NEW.TMP", "E:\\VM\\KEEP.TXT"));
    EXPECT_EQ(Get("E:\\VM\\KEEP.TXT"), "finished");
    EXPECT_EQ(fs_->GetFileAttributes("E:\\VM\\NEW.TMP"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(fs_->MoveFileReplace("E:\\VM\\KEEP.TXT", "E:\\VM\\OTHER.TXT"));
    EXPECT_EQ(Get("E:\\VM\\OTHER.TXT"), "finished");

    EXPECT_TRUE(fs_->DeleteFile("E:\\VM\\OTHER.TXT"));
    EXPECT_FALSE(fs_->DeleteFile("E:\\VM\\OTHER.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs_->DeleteFile("E:\\VM"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_P(FileSystemContract, WritingPastAFullDriveFailsWithDiskFull) {
    if (!env_.fillable) {
        GTEST_SKIP() << "this drive is too large to fill in a test";
    }
    const Handle h = fs_->CreateFile("E:\\FILL.BIN", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    ASSERT_NE(h, InvalidHandle);
    const std::string piece = Pattern(1 << 20);
    DWORD written = 0;
    std::uint64_t total = 0;
    bool failed = false;
    for (int i = 0; i < 4096 && !failed; ++i) {
        failed = !fs_->WriteFile(h, piece.data(), static_cast<DWORD>(piece.size()), &written);
        total += written;
    }
    const DWORD error = GetLastError();
    // The data that did fit may still be flushed at close; a full card may fail that too, with
    // the same error.
    if (!fs_->CloseHandle(h)) {
        EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    }
    ASSERT_TRUE(failed) << "wrote " << total << " bytes without an error";
    EXPECT_EQ(error, ERROR_DISK_FULL);
    // Deleting the file gives the space back: a small file fits again.
    EXPECT_TRUE(fs_->DeleteFile("E:\\FILL.BIN")) << GetLastError();
    Put("E:\\AFTER.TXT", "fits");
    EXPECT_EQ(Get("E:\\AFTER.TXT"), "fits");
}

TEST_P(FileSystemContract, PathsNeverLeaveTheDrive) {
    const std::filesystem::path outside = std::filesystem::path(temp_) / "outside";
    std::filesystem::create_directories(outside);
    { std::ofstream(outside / "SECRET.TXT") << "secret"; }
    ASSERT_TRUE(fs_->CreateDirectory("E:\\D"));
    // ".." never climbs, whatever is around it.
    for (const char* path :
         {"E:\\..\\outside\\SECRET.TXT", "E:\\D\\..\\..\\outside\\NEW.TXT", "E:\\..", "E:\\D\\..\\X.TXT"}) {
        ExpectOpenFails(path, GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fs_->CreateDirectory(path));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_NE(fs_->DeleteTree(path), 0u);
    }
    // An embedded NUL does not cut the path short.
    ExpectOpenFails(std::string("E:\\D\\A.TXT\0.BIN", 15), GENERIC_WRITE, CREATE_ALWAYS, 0,
                    ERROR_ACCESS_DENIED);
    EXPECT_EQ(fs_->GetFileAttributes("E:\\D\\A.TXT"), INVALID_FILE_ATTRIBUTES);

    if (env_.symlinks) {
        const std::filesystem::path link = std::filesystem::path(env_.eFolder) / "LINK";
        std::filesystem::create_directory_symlink(outside, link);
        std::filesystem::create_symlink(outside / "SECRET.TXT",
                                        std::filesystem::path(env_.eFolder) / "FILE.LNK");
        ExpectOpenFails("E:\\LINK\\SECRET.TXT", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
        ExpectOpenFails("E:\\LINK\\NEW.TXT", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ACCESS_DENIED);
        ExpectOpenFails("E:\\FILE.LNK", GENERIC_WRITE, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fs_->CreateDirectory("E:\\link\\SUB"));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fs_->SetFileAttributes("E:\\LINK\\SECRET.TXT", FILE_ATTRIBUTE_READONLY));
        EXPECT_NE(fs_->DeleteTree("E:\\LINK"), 0u);
        EXPECT_FALSE(fs_->DeleteFile("E:\\FILE.LNK"));
        DWORD error = 0;
        EXPECT_TRUE(List("E:\\LINK\\*.*", &error).empty());
        EXPECT_EQ(error, ERROR_ACCESS_DENIED);
        EXPECT_TRUE(std::filesystem::exists(link));
        // Nor is a folder that was used before and has since become a link.
        ASSERT_TRUE(fs_->CreateDirectory("E:\\D\\SUB"));
        Put("E:\\D\\SUB\\IN.TXT", "in");
        const std::filesystem::path sub = std::filesystem::path(env_.eFolder) / "D" / "SUB";
        std::filesystem::remove_all(sub);
        std::filesystem::create_directory_symlink(outside, sub);
        ExpectOpenFails("E:\\D\\SUB\\SECRET.TXT", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED);
        ExpectOpenFails("E:\\D\\SUB\\NEW.TXT", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_ACCESS_DENIED);
    }
    // Nothing outside was touched.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(outside)) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"SECRET.TXT"});
    std::ifstream in(outside / "SECRET.TXT");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "secret");
}

TEST_P(FileSystemContract, HostPathsMapToAndFromDrivePaths) {
    ASSERT_TRUE(fs_->CreateDirectory("E:\\Backup"));
    Put("E:\\Backup\\A.VHB", "archive");
    const std::string host = env_.platform->HostPathOf("E:\\BACKUP\\a.vhb");
    ASSERT_FALSE(host.empty());
    if (env_.hostPathsAreWindowsPaths) {
        EXPECT_TRUE(EqualNoCaseAscii(host, "E:\\BACKUP\\a.vhb")) << host;
    } else {
        EXPECT_EQ(host.front(), '/');
    }
    // A file chosen by host path is the same file.
    EXPECT_EQ(Get(host), "archive");
    const std::string back = env_.platform->WindowsPathOf(host);
    EXPECT_TRUE(back == host || EqualNoCaseAscii(back, "E:\\Backup\\A.VHB")) << back;
}

} // namespace fk_contract
