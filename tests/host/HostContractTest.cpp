// The shared file-service contract on the host's file services, over plain temporary folders:
// E: a removable drive on a folder, C: the installation tree.
#include "HostTestSupport.h"

#include "tests/contract/FileSystemContract.h"

namespace {

fk_contract::ContractPlatform MakeHost(const std::string& tempDir) {
    fk_contract::ContractPlatform result;
    result.eFolder = tempDir + "/card";
    std::filesystem::create_directories(result.eFolder);
    // Host file systems hold times only within their own range (ext4 ends in 2446, FAT in
    // 2107), so FILETIMEs far in the future come back clamped.
    result.farFutureTimes = false;
    result.platform =
        hosttest::FolderPlatform(tempDir, {{'E', result.eFolder, DRIVE_REMOVABLE, true, "CARD"}});
    return result;
}

// A mounted FAT card (the virtual PC's USB reader, FK_VM_CARD_MOUNT), emptied for each case: the
// attribute words go through the vfat ioctls, FAT keeps the times its own way, and the card can
// be filled.
fk_contract::ContractPlatform MakeVfatCard(const std::string& tempDir) {
    fk_contract::ContractPlatform result;
    result.eFolder = std::getenv("FK_VM_CARD_MOUNT");
    for (const auto& entry : std::filesystem::directory_iterator(result.eFolder)) {
        std::filesystem::remove_all(entry.path());
    }
    result.exactTimes = false;
    result.farFutureTimes = false;
    result.fatTimes = true;
    result.symlinks = false;
    result.fillable = true;
    result.platform =
        hosttest::FolderPlatform(tempDir, {{'E', result.eFolder, DRIVE_REMOVABLE, true, "VOXCARD"}});
    return result;
}

std::vector<fk_contract::ContractParam> HostPlatforms() {
    std::vector<fk_contract::ContractParam> platforms{{"HostFolders", MakeHost}};
    if (std::getenv("FK_VM_CARD_MOUNT") != nullptr) {
        platforms.push_back({"VfatCard", MakeVfatCard});
    }
    return platforms;
}

} // namespace

namespace fk_contract {
INSTANTIATE_TEST_SUITE_P(Host, FileSystemContract, ::testing::ValuesIn(HostPlatforms()),
                         [](const ::testing::TestParamInfo<ContractParam>& info) { return info.param.name; });
} // namespace fk_contract
