// The simulated PC as the program sees it: its drives (SimDrives), its file services (SimFiles)
// and the fault-injection decorator the tests put in front of them.
#include "platform/sim/SimulatedPc.h"

#include "platform/sim/SimDrives.h"
#include "platform/sim/SimFiles.h"

namespace platform {

namespace {

class SimPc final : public SimulatedPc {
public:
    SimPc() { drives_.SetUsers(&files_); }

    bool OpenPc(const std::string& folder, std::string* error) { return drives_.OpenPc(folder, error); }
    bool OpenMapped(const std::string& hostFolder, char letter, std::string* error) {
        return drives_.OpenMapped(hostFolder, letter, error);
    }

    FileSystem& Files() override { return faults_; }
    Volumes& Drives() override { return drives_; }
    DeviceWatcher& Devices() override { return drives_; }
    std::string HostPathOf(std::string_view windowsPath) override { return files_.HostPathOf(windowsPath); }
    std::string WindowsPathOf(std::string_view hostPath) override { return files_.WindowsPathOf(hostPath); }

    void SetCallFault(SimCallFault hook) override { faults_.SetCallFault(std::move(hook)); }
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
    FaultInjectingFileSystem faults_{files_};
};

} // namespace

std::unique_ptr<SimulatedPc> OpenSimulatedPc(const std::string& folder, std::string* error) {
    auto pc = std::make_unique<SimPc>();
    if (!pc->OpenPc(folder, error)) {
        return nullptr;
    }
    return pc;
}

std::unique_ptr<SimulatedPc> MapFolderAsDrive(const std::string& hostFolder, char letter,
                                              std::string* error) {
    auto pc = std::make_unique<SimPc>();
    if (!pc->OpenMapped(hostFolder, letter, error)) {
        return nullptr;
    }
    return pc;
}

} // namespace platform
