#include "tests/support/HostPc.h"

#include "platform/api/LastError.h"
#include "platform/host/HostPlatform.h"

#ifdef FK_HOST_UDISKS
#include <QtCore/QCoreApplication>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fktest {

namespace {

// udisks2's change signals are delivered by Qt's event loop; a test process has none of its own.
void LetSignalsIn() {
#ifdef FK_HOST_UDISKS
    static int argc = 1;
    static char name[] = "scenario";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() != nullptr ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
    QCoreApplication::processEvents();
#endif
}

} // namespace

std::unique_ptr<HostPc> HostPc::FromEnvironment() {
    const char* reader = std::getenv("FK_VM_READER");
    if (reader == nullptr || *reader == '\0') {
        return nullptr;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "fk-hostpc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary folder for the host PC";
        return nullptr;
    }
    return std::unique_ptr<HostPc>(new HostPc(pattern, reader));
}

HostPc::HostPc(std::string folder, std::string reader)
    : folder_(std::move(folder)), reader_(std::move(reader)) {
    const char* asFound = std::getenv("FK_VM_CARD_AS_FOUND");
    keepCard_ = asFound != nullptr && std::string(asFound) == "1";
    LetSignalsIn();
    std::filesystem::create_directories(folder_ + "/data/Prompts");
    std::filesystem::create_directories(folder_ + "/data/Data");
    std::filesystem::create_directories(folder_ + "/cdrom");
    std::filesystem::create_directories(folder_ + "/local");
    platform::host::HostConfig config = platform::host::DefaultHostConfig();
    config.dataDir = folder_ + "/data";
    config.backupDir = folder_ + "/backup";
    config.volumes.folderDrives.push_back({'D', folder_ + "/cdrom", DRIVE_CDROM, false, ""});
    config.volumes.folderDrives.push_back({'H', folder_ + "/local", DRIVE_FIXED, true, "LOCAL"});
    // Only udisks2's signals make the drives be read again, so a change seen proves they arrived.
    config.volumes.pollInterval = std::chrono::hours(1);
    std::string error;
    std::unique_ptr<platform::Platform> host = platform::host::CreateHostPlatform(config, nullptr, &error);
    if (host == nullptr) {
        ADD_FAILURE() << "the host platform: " << error;
        return;
    }
    platform_ = std::move(host);
}

HostPc::~HostPc() {
    // The next test finds the reader plugged in with its own card, and udisks2 knowing it.
    std::string why;
    if (spareIn_ && !unplugged_ && Unplug(&why) && platform_ != nullptr) {
        WaitForDeviceChanges();
    }
    if ((unplugged_ && !(Plug(&why) && (platform_ == nullptr || WaitForCard()))) || spareIn_) {
        ADD_FAILURE() << "the reader's own card is not back: " << why;
    }
    platform_.reset();
    std::error_code ignored;
    // FK_VM_KEEP=DIR keeps the Backup folder for checks from outside the virtual PC.
    if (const char* keep = std::getenv("FK_VM_KEEP"); keep != nullptr && *keep != '\0') {
        std::filesystem::remove_all(keep, ignored);
        std::filesystem::create_directories(std::filesystem::path(keep).parent_path(), ignored);
        std::filesystem::copy(folder_ + "/backup", keep, std::filesystem::copy_options::recursive, ignored);
        if (ignored) {
            ADD_FAILURE() << "cannot keep the Backup folder in " << keep << ": " << ignored.message();
        }
    }
    std::filesystem::remove_all(folder_, ignored);
}

bool HostPc::Ask(const std::string& request, std::string* why) {
    const char* port = std::getenv("FK_VM_REQUESTS");
    std::fstream channel(port != nullptr ? port : "/dev/ttyS2");
    if (!channel) {
        *why = "no request port to the host";
        return false;
    }
    channel << request << ' ' << reader_ << '\n' << std::flush;
    std::string answer;
    std::getline(channel, answer);
    if (answer != "ok") {
        *why = request + ": " + answer;
        return false;
    }
    return true;
}

bool HostPc::Unplug(std::string* why) {
    unplugged_ = Ask("unplug", why);
    return unplugged_;
}

bool HostPc::Plug(std::string* why) {
    unplugged_ = !Ask("plug", why);
    spareIn_ = spareIn_ && unplugged_;
    return !unplugged_;
}

bool HostPc::PlugOtherCard(std::string* why) {
    if (!Ask(spareIn_ ? "plug" : "plug-spare", why)) {
        return false;
    }
    unplugged_ = false;
    spareIn_ = !spareIn_;
    return true;
}

bool HostPc::CheckCardFromOutside(std::string* why) {
    return Ask("check", why);
}

std::vector<UINT> HostPc::PollDeviceChanges() {
    LetSignalsIn();
    return platform_->Devices().Poll();
}

bool HostPc::WaitForCard(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        PollDeviceChanges();
        DWORD serial = 0;
        if (platform_->Drives().GetVolumeLabel("E:\\", nullptr, 0, &serial) && serial != 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::vector<UINT> HostPc::WaitForDeviceChanges(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<UINT> events = PollDeviceChanges();
        if (!events.empty()) {
            return events;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

} // namespace fktest
