// The Win32 PC under a scenario: the Win32 platform as the program makes it, on Wine's drives. Its
// C: is the test prefix's own, where C:\ZEL is emptied for each scenario; the card is the removable
// drive that with-wine-drive.sh maps to a new empty folder and names in FK_WIN32_TEST_DRIVE. A Wine
// drive stays where it is: it cannot be unplugged or given another card, and no host watches it.
#include "tests/support/HostPc.h"

#include "platform/api/LastError.h"
#include "platform/win32/Win32Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fktest {

namespace {

constexpr const char* InstallationRoot = "C:\\ZEL";

bool Gone(DWORD error) {
    return error == 0 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

} // namespace

std::unique_ptr<HostPc> HostPc::FromEnvironment() {
    const char* drive = std::getenv("FK_WIN32_TEST_DRIVE");
    if (drive == nullptr || std::string(drive) != "E") {
        ADD_FAILURE()
            << "the Win32 PC needs its card as drive E: (FK_WIN32_TEST_DRIVE=E, see with-wine-drive.sh)";
        return nullptr;
    }
    return std::unique_ptr<HostPc>(new HostPc(InstallationRoot, drive));
}

HostPc::HostPc(std::string folder, std::string reader)
    : folder_(std::move(folder)), reader_(std::move(reader)),
      platform_(platform::win32::CreateWin32Platform()) {
    // Each scenario writes its own installation tree, as each gets a new folder on the host.
    if (const DWORD error = platform_->Files().DeleteTree(folder_); !Gone(error)) {
        ADD_FAILURE() << "cannot empty " << folder_ << ": error " << error;
    }
}

HostPc::~HostPc() {
    if (const DWORD error = platform_->Files().DeleteTree(folder_); !Gone(error)) {
        ADD_FAILURE() << "cannot remove " << folder_ << ": error " << error;
    }
}

// Nothing outside the process answers: every request to the host is refused with its reason.
bool HostPc::Ask(const std::string& request, std::string* why) {
    *why = request + ": a Wine drive cannot be unplugged, given another card, or checked from outside";
    return false;
}

bool HostPc::Unplug(std::string* why) {
    return Ask("unplug", why);
}

bool HostPc::Plug(std::string* why) {
    return Ask("plug", why);
}

bool HostPc::PlugOtherCard(std::string* why) {
    return Ask("plug-spare", why);
}

bool HostPc::CheckCardFromOutside(std::string* why) {
    return Ask("check", why);
}

// Windows sends device changes to the main window; the Win32 platform's watcher has none to give.
std::vector<UINT> HostPc::PollDeviceChanges() {
    return platform_->Devices().Poll();
}

std::vector<UINT> HostPc::WaitForDeviceChanges(int /*timeoutMs*/) {
    return PollDeviceChanges();
}

bool HostPc::WaitForCard(int /*timeoutMs*/) {
    DWORD serial = 0;
    return platform_->Drives().GetVolumeLabel("E:\\", nullptr, 0, &serial) != FALSE;
}

} // namespace fktest
