// A damaged or foreign archive never changes a card: Restore, Prompt update and Initialize read
// it whole first and refuse it with one message, before any question. An archive that cannot
// fit is refused with the card-full message before the card's prompts are deleted.
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

#include <random>

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

const std::string Good = std::string(BackupDir) + "good.vhb";

std::string Damaged(const std::string& path) {
    return "The file " + path +
           " is damaged or is not a VoxHarbor greeting & data file.  The VoxHarbor card has not been "
           "changed.";
}

std::string Str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The messages shown since `before` of them had been shown.
Texts Since(Scenario& s, std::size_t before) {
    const Texts all = s.messages();
    return Texts(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
}

void FillCardLeaving(Scenario& s, char letter, std::uint64_t bytes) {
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(
        s.pc().Drives().GetDiskFreeSpace(std::string(1, letter) + ":\\", &spc, &bps, &freeClusters, &total));
    std::string error;
    ASSERT_TRUE(
        platform::SimFill(s.folder(), letter, std::uint64_t{freeClusters} * spc * bps - bytes, &error))
        << error;
    s.pc().Refresh();
}

} // namespace

TEST(DamagedArchive, RestoreRefusesItBeforeAnyQuestionAndTheCardStaysAsItWas) {
    Scenario s;
    s.start();
    FillDemoCard(s, 'E');
    s.card('E').file("VM\\MSG\\100\\BIG.VOX", std::string(60000, 'b'));
    s.selectCard(0);
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Backup);
    ASSERT_EQ(s.messages(), Texts{"Backup Complete."});
    const std::string good = *s.readFile(Good);
    // The card's prompts move on, so that every archive accepted would ask about them.
    s.writeFile("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT", "0120\r\n");
    s.selectCard(0);

    std::size_t lastHeader = 0;
    for (std::size_t at = 2048; at + 1024 <= good.size(); at += 1024) {
        lastHeader = good[at + 1] == ':' && good[at + 2] == '\\' ? at : lastHeader;
    }
    std::mt19937 random(5);
    std::string noise(3072, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    ArchiveBuilder hostile("1.10");
    hostile.Directory(R"(E:\\VM\)").File(R"(E:\\VM\\..\\..\ESCAPE.VOX)", "outside");
    ArchiveBuilder lying("1.10");
    lying.Directory(R"(E:\\VM\)").File(R"(E:\\VM\M.VOX)", "short");
    lying.bytes[4 * Block + 10] = 0x01; // its record claims 64 KB more than the archive holds

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cut after 50,000 bytes", good.substr(0, 50000)},
        {"cut at a block inside a file", good.substr(0, good.size() - 40 * Block)},
        {"cut between entries", good.substr(0, lastHeader)},
        {"cut after a header", good.substr(0, lastHeader + Block)},
        {"cut after the version block", good.substr(0, Block)},
        {"empty", ""},
        {"random bytes", noise.substr(0, 3000)},
        {"random blocks", noise},
        {"a path off the card", Str(hostile.bytes)},
        {"a record longer than the archive", Str(lying.bytes)},
    };
    const Tree card = Snapshot(s, 'E');
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        const std::string path = std::string(BackupDir) + "D" + std::to_string(i) + ".VHB";
        s.writeFile(path, cases[i].second);
        const std::size_t before = s.messages().size();
        const std::size_t progress = s.ui().ProgressEvents().size();
        s.answerFile(ChoosePath(path));
        s.click(ControlId::Restore);

        EXPECT_EQ(Since(s, before), Texts{Damaged(path)});
        EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
        EXPECT_EQ(s.ui().ProgressEvents().size(), progress);
        EXPECT_EQ(s.statusBar(0), "Ready");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    }
    EXPECT_FALSE(s.exists("C:\\ZEL\\ESCAPE.VOX"));

    // The whole backup is accepted: it asks about the prompts, and Cancel leaves the card alone.
    const std::size_t before = s.messages().size();
    s.answerMessage(IDCANCEL);
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Restore);
    EXPECT_EQ(Since(s, before), Texts{Question("1.10\r", "1.20\r")});
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
}

TEST(DamagedArchive, PromptUpdateAndInitializeRefuseItBeforeTheFirstChange) {
    ArchiveBuilder b("1.20");
    b.Prompts("E:\\", "0120", std::string(30000, 'p'));
    const std::string whole = Str(b.bytes);
    Scenario s;
    s.card('E').prompts("0110").file("VM\\MSG\\M0001.VOX", "message");
    s.localFile("ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp", whole.substr(0, whole.size() - 2 * Block));
    s.localFile("ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb", whole.substr(0, 5000));
    s.start();
    s.selectCard(0);
    const Tree card = Snapshot(s, 'E');

    s.answerFile(ChoosePath(PromptArchive));
    s.click(ControlId::Update);
    s.click(ControlId::Initialize);

    EXPECT_EQ(s.messages(), (Texts{Damaged(PromptArchive),
                                   Damaged("C:\\ZEL\\Voxharbor\\Data\\InitializedFileStruct.vhb")}));
    EXPECT_TRUE(s.ui().Formats().empty());
    EXPECT_TRUE(s.ui().ProgressEvents().empty());
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
}

TEST(CardRoom, ARestoreIsRefusedBeforeThePromptsGoUnlessWhatItReplacesMakesRoom) {
    // The archive's message is 200,000 bytes; the card has 100 KB free beside its own message.
    ArchiveBuilder b("1.20");
    b.Prompts("E:\\", "0120\n", "new prompt")
        .Directory(R"(E:\\VM\\MSG\)")
        .File(R"(E:\\VM\\MSG\M0001.VOX)", std::string(200000, 'n'));
    for (std::size_t oldMessage : {std::size_t{10}, std::size_t{200000}}) {
        SCOPED_TRACE("the card's message has " + std::to_string(oldMessage) + " bytes");
        Scenario s;
        s.card('E').prompts("0110").file("VM\\MSG\\M0001.VOX", std::string(oldMessage, 'o'));
        s.localFile("ZEL\\VoxHarbor\\Backup\\big.vhb", Str(b.bytes));
        s.start();
        s.selectCard(0);
        FillCardLeaving(s, 'E', 100 * 1024);
        const Tree card = Snapshot(s, 'E');
        s.answerMessage(IDYES);
        s.answerFile(ChoosePath(std::string(BackupDir) + "big.vhb"));
        s.click(ControlId::Restore);

        if (oldMessage < 200000) {
            EXPECT_EQ(s.messages(), (Texts{Question("1.20", "1.10"), CardFull}));
            EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
            EXPECT_TRUE(s.ui().ProgressEvents().empty());
        } else {
            // Replacing the card's message frees what the archive's needs.
            EXPECT_EQ(s.messages(), (Texts{Question("1.20", "1.10"), "Restore Complete."}));
            EXPECT_EQ(s.readFile("E:\\VM\\MSG\\M0001.VOX"), std::string(200000, 'n'));
        }
        EXPECT_EQ(s.statusBar(0), "Ready");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    }
}
