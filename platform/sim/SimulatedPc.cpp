// The simulated PC as the program sees it: its drives (SimDrives) and its file services (SimFiles).
// Tests that inject faults put FaultInjectingPlatform in front of it.
#include "platform/sim/SimulatedPc.h"

#include "platform/sim/SimDrives.h"
#include "platform/sim/SimFiles.h"

namespace platform {

namespace {

class SimPc final : public SimulatedPc {
public:
    SimPc() { drives_.SetUsers(&files_); }

    bool OpenPc(const std::string& folder, std::string* error) { return drives_.OpenPc(folder, error); }

    FileSystem& Files() override { return files_; }
    Volumes& Drives() override { return drives_; }
    DeviceWatcher& Devices() override { return drives_; }
    std::string HostPathOf(std::string_view windowsPath) override { return files_.HostPathOf(windowsPath); }
    std::string WindowsPathOf(std::string_view hostPath) override { return files_.WindowsPathOf(hostPath); }

    void Refresh() override { drives_.CheckDescription(); }
    void Flush() override { files_.FlushAll(); }
    std::string DriveFolder(char letter) override {
        const sim::Drive* d = drives_.DriveOf(letter);
        return d == nullptr ? std::string() : d->hostRoot;
    }
    std::uint64_t UsedBytes(char letter) override {
        const sim::Drive* d = drives_.DriveOf(letter);
        return d == nullptr ? 0 : d->used;
    }
    std::string PcFolder() const override { return drives_.PcFolder(); }

private:
    // Declared in this order so that the file services (which flush into the drives) go first.
    sim::SimDrives drives_;
    sim::SimFiles files_{drives_};
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
