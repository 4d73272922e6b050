#include "platform/sim/SlowFiles.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace platform {

namespace {

class SlowFileSystem : public FileSystem {
public:
    SlowFileSystem(FileSystem& files, std::chrono::milliseconds delay) : files_(files), delay_(delay) {}

    Handle CreateFile(std::string_view path, DWORD access, DWORD shareMode, DWORD disposition,
                      DWORD flags) override {
        Wait();
        return files_.CreateFile(path, access, shareMode, disposition, flags);
    }
    BOOL ReadFile(Handle h, void* buffer, DWORD toRead, DWORD* read) override {
        Wait();
        return files_.ReadFile(h, buffer, toRead, read);
    }
    BOOL WriteFile(Handle h, const void* buffer, DWORD toWrite, DWORD* written) override {
        Wait();
        return files_.WriteFile(h, buffer, toWrite, written);
    }
    BOOL CloseHandle(Handle h) override {
        Wait();
        return files_.CloseHandle(h);
    }
    BOOL GetFileSize(Handle h, std::uint64_t* size) override {
        Wait();
        return files_.GetFileSize(h, size);
    }
    DWORD GetFileAttributes(std::string_view path) override {
        Wait();
        return files_.GetFileAttributes(path);
    }
    BOOL SetFileAttributes(std::string_view path, DWORD attributes) override {
        Wait();
        return files_.SetFileAttributes(path, attributes);
    }
    BOOL GetFileTime(Handle h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) override {
        Wait();
        return files_.GetFileTime(h, creation, lastAccess, lastWrite);
    }
    BOOL SetFileTime(Handle h, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override {
        Wait();
        return files_.SetFileTime(h, creation, lastAccess, lastWrite);
    }
    BOOL CreateDirectory(std::string_view path) override {
        Wait();
        return files_.CreateDirectory(path);
    }
    BOOL DeleteFile(std::string_view path) override {
        Wait();
        return files_.DeleteFile(path);
    }
    BOOL MoveFileReplace(std::string_view from, std::string_view to) override {
        Wait();
        return files_.MoveFileReplace(from, to);
    }
    DWORD DeleteTree(std::string_view path) override {
        Wait();
        return files_.DeleteTree(path);
    }
    Handle FindFirstFile(std::string_view pattern, FindData* data) override {
        Wait();
        return files_.FindFirstFile(pattern, data);
    }
    BOOL FindNextFile(Handle h, FindData* data) override {
        Wait();
        return files_.FindNextFile(h, data);
    }
    BOOL FindClose(Handle h) override {
        Wait();
        return files_.FindClose(h);
    }
    BOOL BackupRead(Handle h, std::uint8_t* buffer, DWORD toRead, DWORD* read, BOOL abort,
                    void** context) override {
        Wait();
        return files_.BackupRead(h, buffer, toRead, read, abort, context);
    }
    BOOL BackupWrite(Handle h, const std::uint8_t* buffer, DWORD toWrite, DWORD* written, BOOL abort,
                     void** context) override {
        Wait();
        return files_.BackupWrite(h, buffer, toWrite, written, abort, context);
    }

private:
    void Wait() const { std::this_thread::sleep_for(delay_); }

    FileSystem& files_;
    std::chrono::milliseconds delay_;
};

class SlowFilesPlatform : public Platform {
public:
    SlowFilesPlatform(std::unique_ptr<Platform> platform, std::chrono::milliseconds delay)
        : platform_(std::move(platform)), files_(platform_->Files(), delay) {}

    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return platform_->Drives(); }
    DeviceWatcher& Devices() override { return platform_->Devices(); }
    std::string HostPathOf(std::string_view windowsPath) override {
        return platform_->HostPathOf(windowsPath);
    }
    std::string WindowsPathOf(std::string_view hostPath) override {
        return platform_->WindowsPathOf(hostPath);
    }

private:
    std::unique_ptr<Platform> platform_;
    SlowFileSystem files_;
};

} // namespace

std::unique_ptr<Platform> WithSlowFiles(std::unique_ptr<Platform> platform, std::chrono::milliseconds delay) {
    if (platform == nullptr || delay.count() <= 0) {
        return platform;
    }
    return std::make_unique<SlowFilesPlatform>(std::move(platform), delay);
}

bool CallDelayFromEnvironment(std::chrono::milliseconds* delay, std::string* error) {
    constexpr unsigned MaxDelayMs = 10000;
    *delay = std::chrono::milliseconds(0);
    const char* value = std::getenv("VOXHARBOR_SIM_CALL_DELAY_MS");
    if (value == nullptr || *value == '\0') {
        return true;
    }
    const std::string_view text(value);
    unsigned ms = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (status != std::errc() || end != text.data() + text.size() || ms > MaxDelayMs) {
        if (error != nullptr) {
            *error = "VOXHARBOR_SIM_CALL_DELAY_MS must be a number of milliseconds from 0 to 10000, not \"" +
                     std::string(text) + "\"";
        }
        return false;
    }
    *delay = std::chrono::milliseconds(ms);
    return true;
}

} // namespace platform
