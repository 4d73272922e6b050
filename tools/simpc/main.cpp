// simpc: changes a simulated PC (see platform/sim/SimulatedPc.h) while the utility runs.
//
//   simpc [--pc FOLDER] insert E: | eject E: | swap E: | fill E: BYTES
//                       | fault E: write|read|none | label E: TEXT | show
//
// swap puts another card into the reader (the medium in, with a new volume serial).
//   simpc create-demo FOLDER [--prompts FILE.vhp] [--data FILE.vhb]
//
// The PC folder comes from --pc or from VOXHARBOR_SIMULATED_PC.
#include "platform/sim/SimulatedPc.h"
#include "tools/simpc/DemoPc.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace platform;

int Usage() {
    std::fprintf(stderr, "usage: simpc [--pc FOLDER] insert E: | eject E: | swap E: | fill E: BYTES |\n"
                         "             fault E: write|read|none | label E: TEXT | show\n"
                         "       simpc create-demo FOLDER [--prompts FILE.vhp] [--data FILE.vhb]\n"
                         "The PC folder is --pc or VOXHARBOR_SIMULATED_PC.\n");
    return 2;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "simpc: %s\n", message.c_str());
    return 1;
}

// "E:", "E:\" or just "E".
bool ParseDrive(const std::string& text, char* letter) {
    if (text.size() == 1 && std::isalpha(static_cast<unsigned char>(text[0]))) {
        *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        return true;
    }
    if ((text.size() == 2 || (text.size() == 3 && (text[2] == '\\' || text[2] == '/'))) && text[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(text[0]))) {
        *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        return true;
    }
    return false;
}

int Show(const std::string& folder) {
    SimPcDescription description;
    std::string error;
    if (!SimPcDescription::Load(folder, &description, &error)) {
        return Fail(error);
    }
    auto pc = OpenSimulatedPc(folder, &error);
    if (pc == nullptr) {
        return Fail(error);
    }
    std::printf("%-3s %-10s %-6s %-12s %14s %14s %-6s\n", "", "type", "media", "label", "capacity", "free",
                "fault");
    for (const SimDriveConfig& d : description.drives) {
        std::string free = "-";
        if (d.media) {
            DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
            const std::string root = std::string(1, d.letter) + ":\\";
            if (pc->Drives().GetDiskFreeSpace(root, &spc, &bps, &freeClusters, &total)) {
                free = std::to_string(std::uint64_t{spc} * bps * freeClusters);
            }
        }
        std::printf("%c:  %-10s %-6s %-12s %14llu %14s %-6s\n", d.letter, SimDriveTypeName(d.type),
                    d.media ? "yes" : "no", d.label.c_str(), static_cast<unsigned long long>(d.Capacity()),
                    free.c_str(), SimFaultName(d.fault));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string folder;
    if (const char* env = std::getenv("VOXHARBOR_SIMULATED_PC")) {
        folder = env;
    }
    if (args.size() >= 2 && args[0] == "--pc") {
        folder = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return Usage();
    }
    const std::string command = args[0];
    std::string error;

    if (command == "create-demo") {
        if (args.size() < 2) {
            return Usage();
        }
        std::string prompts, data;
        for (size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--prompts" && i + 1 < args.size()) {
                prompts = args[++i];
            } else if (args[i] == "--data" && i + 1 < args.size()) {
                data = args[++i];
            } else {
                return Usage();
            }
        }
        std::string warning;
        if (!simpc::CreateDemoPc(args[1], prompts, data, &warning, &error)) {
            return Fail(error);
        }
        if (!warning.empty()) {
            std::fprintf(stderr, "simpc: %s", warning.c_str());
        }
        std::printf("demo PC created in %s\n", args[1].c_str());
        return 0;
    }
    if (folder.empty()) {
        return Fail("no PC folder: give --pc FOLDER or set VOXHARBOR_SIMULATED_PC");
    }
    if (command == "show") {
        return Show(folder);
    }
    char letter = 0;
    if (args.size() < 2 || !ParseDrive(args[1], &letter)) {
        return Usage();
    }
    bool ok = false;
    if (command == "insert" && args.size() == 2) {
        ok = SimInsertMedia(folder, letter, &error);
    } else if (command == "eject" && args.size() == 2) {
        ok = SimEjectMedia(folder, letter, &error);
    } else if (command == "swap" && args.size() == 2) {
        ok = SimSwapCard(folder, letter, &error);
    } else if (command == "fill" && args.size() == 3) {
        std::uint64_t bytes = 0;
        if (!ParseSimNumber(args[2], &bytes)) {
            return Fail("not a byte count: " + args[2]);
        }
        ok = SimFill(folder, letter, bytes, &error);
    } else if (command == "fault" && args.size() == 3) {
        SimFault fault = SimFault::None;
        if (!ParseSimFault(args[2], &fault)) {
            return Usage();
        }
        ok = SimSetFault(folder, letter, fault, &error);
    } else if (command == "label" && args.size() >= 3) {
        std::string label = args[2];
        for (size_t i = 3; i < args.size(); ++i) {
            label += " " + args[i];
        }
        ok = SimSetLabel(folder, letter, label, &error);
    } else {
        return Usage();
    }
    return ok ? 0 : Fail(error);
}
