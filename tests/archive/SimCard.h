// A simulated PC for the archive tests: local drive C: (the archives) and cards E: and G:, with
// helpers to lay out a card and read it back.
#pragma once

#include "platform/common/FaultInjection.h"
#include "platform/sim/SimulatedPc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

class SimCard : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            (std::filesystem::temp_directory_path() /
             ("fk-archive-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
              "-" + info->test_suite_name() + "-" + info->name()))
                .string();
        std::filesystem::remove_all(folder_);
        platform::SimPcDescription pc;
        platform::SimDriveConfig local;
        local.letter = 'C';
        local.type = platform::SimDriveType::Fixed;
        local.totalClusters = 400000;
        platform::SimDriveConfig e, g;
        e.letter = 'E';
        g.letter = 'G';
        pc.drives = {local, e, g};
        std::string error;
        ASSERT_TRUE(platform::CreateSimulatedPcFolder(folder_, pc, &error)) << error;
        sim_ = platform::OpenSimulatedPc(folder_, &error);
        ASSERT_TRUE(sim_) << error;
        pc_ = std::make_unique<platform::FaultInjectingPlatform>(*sim_);
    }
    void TearDown() override {
        pc_.reset();
        sim_.reset();
        std::filesystem::remove_all(folder_);
    }
    platform::FileSystem& Fs() { return pc_->Files(); }

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

    // Leaves only about `bytes` free on a drive.
    void LeaveFree(char letter, std::uint64_t bytes) {
        platform::SimDriveConfig c;
        std::string error;
        ASSERT_TRUE(platform::SimFill(folder_, letter, c.Capacity() - bytes, &error)) << error;
        sim_->Refresh();
    }

    std::string folder_;
    std::unique_ptr<platform::SimulatedPc> sim_;
    // The simulated PC behind the fault decorator (the tests' call hooks are set on it).
    std::unique_ptr<platform::FaultInjectingPlatform> pc_;
};

} // namespace test
