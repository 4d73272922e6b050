// The file-service contract on the simulated PC and on the in-memory PC (the host's folders:
// HostContractTest).
#include "platform/memory/MemoryPc.h"
#include "platform/sim/SimulatedPc.h"
#include "tests/contract/FileSystemContract.h"

namespace {

fk_contract::ContractPlatform Wrap(std::unique_ptr<platform::SimulatedPc> sim, const std::string& error) {
    fk_contract::ContractPlatform result;
    if (sim == nullptr) {
        ADD_FAILURE() << error;
        return result;
    }
    result.eFolder = sim->DriveFolder('E');
    result.platform = std::move(sim);
    return result;
}

fk_contract::ContractPlatform MakeSimulatedPc(const std::string& tempDir) {
    platform::SimPcDescription description;
    platform::SimDriveConfig c;
    c.letter = 'C';
    c.type = platform::SimDriveType::Fixed;
    c.totalClusters = 1u << 22;
    platform::SimDriveConfig e;
    e.letter = 'E';
    e.label = "CARD";
    // An 8 MB card, small enough to fill.
    e.bytesPerSector = 512;
    e.sectorsPerCluster = 8;
    e.totalClusters = 2048;
    description.drives = {c, e};
    const std::string pc = tempDir + "/pc";
    std::string error;
    if (!platform::CreateSimulatedPcFolder(pc, description, &error)) {
        return Wrap(nullptr, error);
    }
    auto sim = platform::OpenSimulatedPc(pc, &error);
    fk_contract::ContractPlatform result = Wrap(std::move(sim), error);
    result.fillable = true;
    return result;
}

fk_contract::ContractPlatform MakeMemoryPc(const std::string&) {
    platform::MemoryDriveConfig c;
    c.letter = 'C';
    c.type = DRIVE_FIXED;
    platform::MemoryDriveConfig e;
    e.letter = 'E';
    fk_contract::ContractPlatform result;
    result.platform = platform::CreateMemoryPc({c, e});
    result.symlinks = false; // nothing of the host is reachable from it
    return result;
}

} // namespace

namespace fk_contract {
INSTANTIATE_TEST_SUITE_P(Platforms, FileSystemContract,
                         ::testing::Values(ContractParam{"SimulatedPc", MakeSimulatedPc},
                                           ContractParam{"MemoryPc", MakeMemoryPc}),
                         [](const ::testing::TestParamInfo<ContractParam>& info) { return info.param.name; });
} // namespace fk_contract
