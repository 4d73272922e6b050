// The real PC under a scenario: the host platform as the program makes it (udisks2, its drives
// found, no simulated PC), on the virtual PC's USB card reader. Its C:\ZEL\VoxHarbor tree is a
// temporary folder, D: an empty CD-ROM drive (so that the reader gets E: as the simulated PC's
// card has it), H: a local folder drive where a test may put what it reads back, and card changes
// are USB hot-plug asked of the host through /dev/ttyS2. A scenario puts the fault decorator in
// front of it, so a test may fail any file call.
// FK_VM_KEEP=DIR copies the Backup folder there at the end, for checks from outside;
// FK_VM_CARD_AS_FOUND=1 takes the card as it is instead of emptying it at the start (a card left
// by a power cut).
// The Windows build has the same class over the Win32 platform on Wine's drives (HostPc_win32.cpp).
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>
#include <vector>

namespace fktest {

class HostPc {
public:
    // The PC when this process runs in the virtual PC (FK_VM_READER names the reader), else null.
    static std::unique_ptr<HostPc> FromEnvironment();
    ~HostPc();
    HostPc(const HostPc&) = delete;
    HostPc& operator=(const HostPc&) = delete;

    platform::Platform& platform() { return *platform_; }
    // Deletes everything on the card (mounting it first when needed); false when it cannot.
    bool EmptyCard(std::string* why);
    bool KeepsCardAsFound() const { return keepCard_; }
    // Tells the host that the scenario reaches step (a line "mark STEP"), e.g. where an
    // operation begins, so that it can cut the power while the operation runs.
    bool Mark(const std::string& step, std::string* why) { return Ask("mark " + step, why); }
    // Unplugs or plugs the reader on the virtual USB bus; false with the host's answer otherwise.
    bool Unplug(std::string* why);
    bool Plug(std::string* why);
    // Plugs the unplugged reader in with the card image it did not hold last (its own or the
    // host's spare), as if another card had been put in.
    bool PlugOtherCard(std::string* why);
    // fsck.fat -n of the unplugged reader's card image, run by the host; false with its findings.
    bool CheckCardFromOutside(std::string* why);
    // Waits (at most timeoutMs) until the platform reports a device change, letting udisks2's
    // signals in; returns the events in order, empty when none came.
    std::vector<UINT> WaitForDeviceChanges(int timeoutMs = 20000);
    // The events pending now, without waiting.
    std::vector<UINT> PollDeviceChanges();
    // Waits (at most timeoutMs) until the card in E: answers the volume query.
    bool WaitForCard(int timeoutMs = 20000);

private:
    HostPc(std::string folder, std::string reader);
    bool Ask(const std::string& request, std::string* why);

    std::string folder_;
    std::string reader_;
    std::unique_ptr<platform::Platform> platform_;
    bool unplugged_ = false;
    bool spareIn_ = false; // the reader holds the spare card image
    bool keepCard_ = false;
};

} // namespace fktest
