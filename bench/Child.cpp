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
                     "       flashkeeper3_bench --child backup|restore|update|initialize WORK ARCHIVE --host "
                     "CARD-FOLDER\n");
        return 2;
    }
    const std::string what = argv[0];
    const bool backup = what == "backup";
    const bool update = what == "update";
    const bool initialize = what == "initialize";
    if (!backup && what != "restore" && !(host && (update || initialize))) {
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

    int button = ControlId::Backup;
    const char* complete = operations::BackupCompleteMessage;
    if (initialize) {
        // Yes to the re-format, OK to the advice; the card was formatted before (as udisks2 would),
        // so the dialog is cancelled and the initial files go onto the empty card: the install step.
        ui.AnswerMessage(IDYES);
        ui.AnswerMessage(IDOK);
        ui.AnswerFormat(fktest::CancelFormat());
        button = ControlId::Initialize;
        complete = nullptr;
    } else if (!backup) {
        ui.AnswerFile(fktest::ChoosePath(argv[2]));
        // The prompts differ from the card's (or it has none): replace them with the archive's.
        ui.AnswerMessage(IDYES);
        button = update ? ControlId::Update : ControlId::Restore;
        complete = update ? operations::UpdateCompleteMessage : operations::RestoreCompleteMessage;
    } else {
        ui.AnswerFile(fktest::ChoosePath(argv[2]));
    }
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = CpuSeconds();
    dialog.ClickButton(button);
    const double cpu = CpuSeconds() - cpuBefore;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Initialize says nothing when it is done; it is done when the card shows the installed prompts.
    bool ok = initialize && !dialog.promptVersion.empty();
    for (std::size_t i = before; i < ui.Messages().size(); ++i) {
        const std::string& text = ui.Messages()[i].text;
        const bool expected = complete != nullptr
                                  ? text == complete
                                  : text == operations::ReformatQuestion || text == operations::FormatAdvice;
        ok = complete != nullptr ? expected : ok && expected;
        if (!expected && ui.Messages()[i].buttons == MB_OK) {
            std::fprintf(stderr, "%s: %s\n", what.c_str(), text.c_str());
        }
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.2f s in the operation, cpu %.2f s, peak %.1f MB\n", seconds, cpu,
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return ok ? 0 : 1;
}

} // namespace bench
