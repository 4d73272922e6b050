// The simulated PC as the program sees it: its drives (SimDrives) and the host's file services
// over their folders, with what only the simulated PC does in its hooks (SimHooks). Tests that
// inject faults put FaultInjectingPlatform in front of it.
#include "platform/sim/SimulatedPc.h"

#include "platform/common/WinPath.h"
#include "platform/host/HostFileSystem.h"
#include "platform/sim/SimDrives.h"
#include "platform/sim/SimHooks.h"

namespace platform {

namespace {

class SimPc final : public SimulatedPc {
public:
    SimPc() {
        drives_.SetOpenBelow([this](const std::string& host) { return files_.IsOpenBelow(host); });
    }

    bool OpenPc(const std::string& folder, std::string* error) { return drives_.OpenPc(folder, error); }

    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return drives_; }
    DeviceWatcher& Devices() override { return drives_; }
    std::string HostPathOf(std::string_view windowsPath) override { return files_.HostPathOf(windowsPath); }
    std::string WindowsPathOf(std::string_view hostPath) override {
        std::string text(hostPath);
        std::string windows;
        return IsHostAbsolute(text) && drives_.DrivePathOf(text, &windows) ? windows : text;
    }

    void Refresh() override { drives_.CheckDescription(); }
    void Flush() override { files_.FlushAllPending(); }
    std::string DriveFolder(char letter) override {
        const sim::Drive* d = drives_.DriveOf(letter);
        return d == nullptr ? std::string() : d->hostRoot;
    }
    std::uint64_t UsedBytes(char letter) override {
        const sim::Drive* d = drives_.DriveOf(letter);
        return d == nullptr ? 0 : d->used;
    }

private:
    // Declared in this order so that the file services (which write into the drives) go first.
    sim::SimDrives drives_;
    sim::SimHooks hooks_{drives_};
    host::HostFileSystem files_{drives_, &hooks_};
};

} // namespace

std::unique_ptr<SimulatedPc> OpenSimulatedPc(const std::string& folder, std::string* error) {
    auto pc = std::make_unique<SimPc>();
    if (!pc->OpenPc(folder, error)) {
        return nullptr;
    }
    return pc;
}

} // namespace platform
