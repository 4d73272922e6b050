#include "bench/Child.h"

#include "app/flashkeeper3dlg.h"
#include "operations/OperationTexts.h"
#include "platform/host/HostPlatform.h"
#include "platform/sim/SimulatedPc.h"
#include "tests/support/ScriptedUi.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/resource.h>

namespace bench {

std::unique_ptr<platform::Platform> HostPlatform(const std::string& cardMount, const std::string& work,
                                                 std::string* error) {
    return platform::host::CreateFolderPlatform({{'E', cardMount, DRIVE_REMOVABLE, true, "VOXCARD"}},
                                                work + "/data", work + "/backup", error);
}

namespace {

// User and system time of this process so far: what the operation itself costs, without the
// process start (loading the libraries), which a technician's open window has behind it.
double CpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int RunChild(int argc, char** argv) {
    const bool host = argc == 5 && std::string(argv[3]) == "--host";
    if (argc != 3 && !host) {
        std::fprintf(stderr,
                     "usage: flashkeeper3_bench --child backup|restore PC-FOLDER ARCHIVE\n"
                     "       flashkeeper3_bench --child backup|restore WORK ARCHIVE --host CARD-FOLDER\n");
        return 2;
    }
    const std::string what = argv[0];
    const bool backup = what == "backup";
    if (!backup && what != "restore") {
        std::fprintf(stderr, "unknown operation %s\n", what.c_str());
        return 2;
    }
    std::string error;
    std::unique_ptr<platform::Platform> pc =
        host ? HostPlatform(argv[4], argv[1], &error) : platform::OpenSimulatedPc(argv[1], &error);
    if (pc == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The dialog as the technician has it: started, the card selected (on the simulated PC E: is
    // item 0, F: item 1; on the host the one card is E:).
    fktest::ScriptedUi ui;
    CardUtilityDialog dialog(ui, *pc);
    ui.SetMainWindow(&dialog);
    dialog.DoModal();
    ui.AnswerModal(fktest::SelectItem(backup || host ? 0 : 1));
    dialog.ClickButton(ControlId::Select);
    const std::string expectedDevice = backup || host ? "E:" : "F:";
    if (dialog.deviceName.find(expectedDevice) == std::string::npos) {
        std::fprintf(stderr, "the card %s is not selected (%s)\n", expectedDevice.c_str(),
                     dialog.deviceName.c_str());
        return 1;
    }
    const std::size_t before = ui.Messages().size();

    ui.AnswerFile(fktest::ChoosePath(argv[2]));
    if (!backup) {
        ui.AnswerMessage(IDYES); // the empty card has no prompts: restore the archive's
    }
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = CpuSeconds();
    dialog.ClickButton(backup ? ControlId::Backup : ControlId::Restore);
    const double cpu = CpuSeconds() - cpuBefore;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const char* complete = backup ? operations::BackupCompleteMessage : operations::RestoreCompleteMessage;
    bool ok = false;
    for (std::size_t i = before; i < ui.Messages().size(); ++i) {
        const std::string& text = ui.Messages()[i].text;
        ok = text == complete;
        if (!ok && ui.Messages()[i].buttons == MB_OK) {
            std::fprintf(stderr, "%s: %s\n", what.c_str(), text.c_str());
        }
    }
    std::printf("%.2f s in the operation, cpu %.2f s\n", seconds, cpu);
    return ok ? 0 : 1;
}

} // namespace bench
