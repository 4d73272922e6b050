// A PC in memory for the archive tests: local drive C: (the archives) and cards E: and G:, with
// helpers to lay out a card and read it back. Its file calls go through the fault decorator, so
// a test may fail any of them.
#pragma once

#include "platform/common/FaultInjection.h"
#include "platform/memory/MemoryPc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace test {

using Bytes = std::vector<std::uint8_t>;

struct Info {
    bool exists = false;
    bool directory = false;
    DWORD attributes = 0;
    FILETIME creation, lastAccess, lastWrite;
    Bytes data;
};

class MemoryCard : public ::testing::Test {
protected:
    void SetUp() override {
        platform::MemoryDriveConfig local;
        local.letter = 'C';
        local.type = DRIVE_FIXED;
        local.totalClusters = 400000;
        platform::MemoryDriveConfig e, g;
        e.letter = 'E';
        g.letter = 'G';
        pc_ = platform::CreateMemoryPc({local, e, g});
        faults_ = std::make_unique<platform::FaultInjectingFileSystem>(pc_->Files());
    }
    void TearDown() override {
        faults_.reset();
        pc_.reset();
    }
    // The hook that may fail the file calls (an empty function removes it).
    void SetCallFault(platform::FileCallFault hook) { faults_->SetCallFault(std::move(hook)); }
    platform::FileSystem& Fs() { return *faults_; }

    void MakeDirectory(const std::string& path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY,
                       FILETIME t = {1, 1}) {
        ASSERT_TRUE(Fs().CreateDirectory(path)) << path;
        ASSERT_TRUE(Fs().SetFileAttributes(path, attributes));
        const auto h = Fs().CreateFile(path, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        ASSERT_NE(h, platform::InvalidHandle);
        ASSERT_TRUE(Fs().SetFileTime(h, &t, &t, &t));
        Fs().CloseHandle(h);
    }
    void MakeFile(const std::string& path, const Bytes& data, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE,
                  FILETIME t = {1, 1}) {
        Fs().SetFileAttributes(path, FILE_ATTRIBUTE_ARCHIVE); // may not exist yet
        const auto h = Fs().CreateFile(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        ASSERT_NE(h, platform::InvalidHandle) << path;
        DWORD written = 0;
        ASSERT_TRUE(data.empty() ||
                    Fs().WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written));
        ASSERT_TRUE(Fs().SetFileTime(h, &t, &t, &t));
        Fs().CloseHandle(h);
        ASSERT_TRUE(Fs().SetFileAttributes(path, attributes));
    }
    void MakeFile(const std::string& path, const std::string& text, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE,
                  FILETIME t = {1, 1}) {
        MakeFile(path, Bytes(text.begin(), text.end()), attributes, t);
    }

    Info Stat(const std::string& path) {
        Info info;
        platform::FindData d;
        const auto f = Fs().FindFirstFile(path, &d);
        if (f == platform::InvalidHandle) {
            return info;
        }
        Fs().FindClose(f);
        info.exists = true;
        info.attributes = d.attributes;
        info.directory = d.attributes & FILE_ATTRIBUTE_DIRECTORY;
        const auto h = Fs().CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                       info.directory ? FILE_FLAG_BACKUP_SEMANTICS : 0);
        EXPECT_NE(h, platform::InvalidHandle) << path;
        Fs().GetFileTime(h, &info.creation, &info.lastAccess, &info.lastWrite);
        if (!info.directory) {
            info.data.resize(d.fileSize);
            DWORD read = 0;
            Fs().ReadFile(h, info.data.data(), static_cast<DWORD>(info.data.size()), &read);
            info.data.resize(read);
        }
        Fs().CloseHandle(h);
        return info;
    }
    bool Exists(const std::string& path) { return Stat(path).exists; }
    Bytes Contents(const std::string& path) { return Stat(path).data; }

    // Every path below a directory ("G:\\"), single backslashes, in listing order, depth first.
    std::vector<std::string> AllPaths(const std::string& dir) {
        std::vector<std::string> out;
        platform::FindData d;
        const auto h = Fs().FindFirstFile(dir + "*.*", &d);
        if (h == platform::InvalidHandle) {
            return out;
        }
        do {
            if (d.fileName != "." && d.fileName != "..") {
                out.push_back(dir + d.fileName);
                if (d.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    for (auto& p : AllPaths(dir + d.fileName + "\\")) {
                        out.push_back(std::move(p));
                    }
                }
            }
        } while (Fs().FindNextFile(h, &d));
        Fs().FindClose(h);
        return out;
    }

    // Leaves only about `bytes` free on a drive: a file FILLER.BIN in its root takes the rest.
    void LeaveFree(char letter, std::uint64_t bytes) {
        const std::string filler = std::string(1, letter) + ":\\FILLER.BIN";
        Fs().DeleteFile(filler); // may not exist yet
        const std::uint64_t free = pc_->CapacityBytes(letter) - pc_->UsedBytes(letter);
        ASSERT_GT(free, bytes) << letter << ": has less free already";
        MakeFile(filler, Bytes(free - bytes, 0xF1));
    }

    std::unique_ptr<platform::MemoryPc> pc_;
    std::unique_ptr<platform::FaultInjectingFileSystem> faults_;
};

} // namespace test
