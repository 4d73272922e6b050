// The technician's round trip: back up a card, initialise it, restore the backup; the card then
// holds exactly what it held (bytes, attribute words, all three times).
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>
#ifndef _WIN32
#include <sys/wait.h>
#endif

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

#ifndef _WIN32
// Runs a command; its exit status and what it printed (the virtual PC's tools, on Linux).
std::pair<int, std::string> RunCommand(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return {-1, "cannot run " + command};
    }
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p) != nullptr) {
        out += buffer;
    }
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}
#endif

// The initial card is a part of what the demo card holds, so nothing of it is left over.
std::string InitialCard() {
    ArchiveBuilder initial("");
    initial.Directory(R"(E:\\VM\)")
        .Directory(R"(E:\\VM\\PROMPTS\)")
        .Directory(R"(E:\\VM\\PROMPTS\\0\)")
        .Directory(R"(E:\\VM\\PROMPTS\\0\\0\)")
        .Directory(R"(E:\\VM\\PROMPTS\\0\\0\\0\)")
        .File(R"(E:\\VM\\PROMPTS\\0\\0\\0\VERSION.TXT)", "0100\n")
        .Directory(R"(E:\\VM\\MSG\)");
    return std::string(initial.bytes.begin(), initial.bytes.end());
}

platform::FormatRequest QuickFormat() {
    platform::FormatRequest format;
    format.label = "VOXCARD";
    format.quick = true;
    return format;
}

} // namespace

class RoundTripOn : public OnEachPc {};
FK_ON_EACH_PC(RoundTripOn);

TEST_P(RoundTripOn, BackUpInitialiseRestoreGivesTheOriginalCard) {
    if (OnWin32()) {
        GTEST_SKIP() << "the Win32 platform leaves formatting to the shell's format dialog";
    }
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.localFile("ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb", InitialCard());
    s.start();
    FillDemoCard(s, 'E');
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::PromptVersion), "1.10\r");
    const Tree original = Snapshot(s, 'E');
    ASSERT_GT(original.size(), 40u);

    const std::string backup = std::string(BackupDir) + "demo.vhb";
    s.answerFile(ChoosePath(backup));
    s.click(ControlId::Backup);
    ASSERT_EQ(s.messages(), Texts{"Backup Complete."});
#ifndef _WIN32
    // FK_VM_VHBTOOL: right after the backup, vhbtool compare finds the FAT card equal to it, and
    // tells an attribute byte changed since.
    if (const char* vhbtool = std::getenv("FK_VM_VHBTOOL"); vhbtool != nullptr && s.onHost()) {
        const std::string compare = std::string(vhbtool) + " compare '" + s.platform().HostPathOf(backup) +
                                    "' '" + s.platform().HostPathOf("E:\\") + "'";
        const auto [agreed, said] = RunCommand(compare);
        EXPECT_EQ(agreed, 0) << said;
        platform::FileSystem& fs = s.platform().Files();
        const std::string name = "E:\\VM\\MSG\\100\\M0001.VOX";
        const DWORD word = fs.GetFileAttributes(name);
        ASSERT_TRUE(fs.SetFileAttributes(name, word | FILE_ATTRIBUTE_HIDDEN));
        const auto [differed, told] = RunCommand(compare);
        EXPECT_EQ(differed, 1);
        EXPECT_NE(told.find("VM\\MSG\\100\\M0001.VOX: attributes"), std::string::npos) << told;
        ASSERT_TRUE(fs.SetFileAttributes(name, word));
    }
#endif

    s.answerMessage(IDYES);
    s.answerMessage(IDOK);
    s.answerFormat(FormatWith(QuickFormat()));
    s.click(ControlId::Initialize);
    ASSERT_EQ(s.field(ControlId::PromptVersion), "1.00");
    ASSERT_FALSE(s.exists("E:\\VM\\MSG\\100"));

    // The backup's 1.10 with its carriage return differs from the initial 1.00: take its prompts.
    s.answerMessage(IDYES);
    s.answerFile(ChoosePath(backup));
    s.click(ControlId::Restore);

    const Texts shown = s.messages();
    ASSERT_EQ(shown.size(), 5u) << ::testing::PrintToString(shown);
    EXPECT_EQ(shown[3], Question("1.10\r", "1.00"));
    EXPECT_EQ(shown[4], "Restore Complete.");
    EXPECT_EQ(Difference(original, Snapshot(s, 'E')), "");
    EXPECT_EQ(s.field(ControlId::PromptVersion), "1.10\r");
}

// Power cuts on the real PC, driven from outside the virtual PC (tests/vm/powercut.py); nothing
// runs without FK_VM_POWERCUT. A number N: the demo card with N messages more is backed up and,
// with one message changed, backed up again under the same name, then initialised and restored
// twice, each operation announced to the host, which cuts the power while the second of each
// runs. "initialize", "backup": beside the earlier backup FK_VM_POWERCUT_ARCHIVE, the card is
// taken as found and initialised, or backed up under the same name, while the host ends the guest.
// "check": a card left by a cut is taken as found; the state the dialog shows is printed for the
// host to compare, and a restore of FK_VM_POWERCUT_ARCHIVE must complete ("reinit": after an
// Initialize, for a card whose format was cut short). "stick": the card is backed up twice to the
// USB stick labelled FK_VM_STICK under one name, a message added in between; the host cuts the
// power the moment the second "Backup Complete." shows.
class PowerCutOn : public OnEachPc {};
FK_ON_EACH_PC(PowerCutOn);

TEST_P(PowerCutOn, OperationsOnAFullCard) {
    const char* mode = std::getenv("FK_VM_POWERCUT");
    if (GetParam() != "Host" || mode == nullptr) {
        GTEST_SKIP() << "run by the virtual PC's power-cut step";
    }
    const std::string how = mode;
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.localFile("ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb", InitialCard());
    if (how == "backup" || how == "initialize") {
        // The earlier backup, under the name a new one takes.
        std::ifstream earlier(std::getenv("FK_VM_POWERCUT_ARCHIVE"), std::ios::binary);
        s.localFile("ZEL\\VoxHarbor\\Backup\\card.vhb",
                    std::string(std::istreambuf_iterator<char>(earlier), {}));
    }
    s.start();
    const std::string backup = std::string(BackupDir) + "card.vhb";
    const auto mark = [&s](const std::string& step) {
        std::string why;
        ASSERT_TRUE(s.host().Mark(step, &why)) << why;
    };
    const auto backUp = [&] {
        s.answerFile(ChoosePath(backup));
        s.click(ControlId::Backup);
        EXPECT_EQ(s.messages().back(), "Backup Complete.");
    };
    const auto initialize = [&s] {
        s.answerMessage(IDYES);
        s.answerMessage(IDOK);
        s.answerFormat(FormatWith(QuickFormat()));
        s.click(ControlId::Initialize);
        EXPECT_EQ(s.field(ControlId::PromptVersion), "1.00");
    };
    const auto restore = [&s](const std::string& archive) {
        if (s.field(ControlId::PromptVersion) != "1.10\r") {
            s.answerMessage(IDYES);
        }
        s.answerFile(ChoosePath(archive));
        s.click(ControlId::Restore);
        ASSERT_FALSE(s.messages().empty());
        EXPECT_EQ(s.messages().back(), "Restore Complete.");
    };
    if (how == "check" || how == "reinit") {
        s.selectCard(0);
        // A carriage return is shown as \r, so that the line stays one line.
        std::string version = s.field(ControlId::PromptVersion);
        for (std::size_t at = version.find('\r'); at != std::string::npos; at = version.find('\r', at)) {
            version.replace(at, 1, "\\r");
        }
        std::printf("state: %s|%s|%s|%s\n", s.field(ControlId::Status).c_str(),
                    s.field(ControlId::Type).c_str(), version.c_str(), s.statusBar(0).c_str());
        if (how == "reinit") {
            initialize(); // a card whose format the cut interrupted
        }
        restore(std::getenv("FK_VM_POWERCUT_ARCHIVE"));
        return;
    }
    if (how == "stick") {
        // The stick is found by its label and the card is the other removable drive: which of the
        // two the system lists first depends on which USB device it saw first.
        std::string stick;
        char cardLetter = 0;
        int cardItem = 0;
        int removable = 0;
        for (char letter = 'C'; letter <= 'Z'; ++letter) {
            const std::string root = std::string(1, letter) + ":\\";
            if (s.platform().Drives().GetDriveType(root) != DRIVE_REMOVABLE) {
                continue;
            }
            std::string label;
            if (s.platform().Drives().GetVolumeLabel(root, &label) && label == std::getenv("FK_VM_STICK")) {
                stick = root;
            } else if (cardLetter == 0) {
                cardLetter = letter;
                cardItem = removable;
            }
            ++removable;
        }
        ASSERT_FALSE(stick.empty()) << "no drive labelled " << std::getenv("FK_VM_STICK");
        ASSERT_NE(cardLetter, 0) << "no card beside the stick";
        FillDemoCard(s, cardLetter);
        s.selectCard(cardItem);
        s.answerFile(ChoosePath(stick + "CARD.VHB"));
        s.click(ControlId::Backup);
        ASSERT_EQ(s.messages().back(), "Backup Complete.");
        s.card(cardLetter).file("VM\\MSG\\300\\NEW.VOX", Audio(9, 70000));
        s.answerMessage(IDOK, [&] { mark("stick"); });
        s.answerFile(ChoosePath(stick + "CARD.VHB"));
        s.click(ControlId::Backup);
        ADD_FAILURE() << "the power was not cut: " << s.messages().back();
        return;
    }
    if (how == "initialize" || how == "backup") {
        s.selectCard(0); // a full card, as a run below left it; the host ends the guest meanwhile
        mark(how);
        how == "backup" ? backUp() : initialize();
        return;
    }
    // Messages in a few mailboxes beside the demo card's files, as many as the mode says.
    const int messages = std::atoi(how.c_str());
    for (int m = 0; m < messages; ++m) {
        s.card('E').file("VM\\MSG\\" + std::to_string(300 + m % 5) + "\\M" + std::to_string(1000 + m) +
                             ".VOX",
                         Audio(static_cast<unsigned>(m), 64 * 1024 + 517 * m));
    }
    FillDemoCard(s, 'E');
    s.selectCard(0);
    mark("backup");
    backUp();
    // A message that arrived since: the new archive differs from the earlier one.
    s.card('E').file("VM\\MSG\\300\\M1000.VOX", Audio(7, 70000));
    mark("backup");
    backUp();
    // Each once as it is, then once more while the host cuts the power, at instants spread over
    // the time the first took.
    for (int run = 0; run < 2; ++run) {
        mark("initialize");
        initialize();
        mark("restore");
        restore(backup);
    }
    mark("done");
}
