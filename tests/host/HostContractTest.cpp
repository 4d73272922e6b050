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

} // namespace

namespace fk_contract {
INSTANTIATE_TEST_SUITE_P(Host, FileSystemContract, ::testing::Values(ContractParam{"HostFolders", MakeHost}),
                         [](const ::testing::TestParamInfo<ContractParam>& info) { return info.param.name; });
} // namespace fk_contract
