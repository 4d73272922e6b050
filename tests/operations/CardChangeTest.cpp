// A card reader leaving and coming back while the dialog runs: the device change reaches the
// dialog (on the real PC as USB hot-plug, through udisks2's signals), and the card is usable again.
// Another card put into the reader while an operation asks something gets nothing.
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;

class CardChangeOn : public OnEachPc {};
FK_ON_EACH_PC(CardChangeOn);

TEST_P(CardChangeOn, AReaderUnpluggedAndPluggedInAgainIsListedAndReadAgain) {
    if (OnWin32()) {
        GTEST_SKIP() << "a Wine drive cannot be unplugged";
    }
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.removeDrive('G');
    s.card('E').prompts("0110");
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::PromptVersion), "1.10");
    ASSERT_EQ(s.deviceList(), Texts{"E:\\"});

    s.unplug('E');
    EXPECT_EQ(s.dialog().driveRoots[0], "");
    EXPECT_EQ(s.dialog().CardRoot(), "");
    s.insert('E');
    EXPECT_EQ(s.dialog().driveRoots[0], "E:\\");
    EXPECT_EQ(s.deviceList(), Texts{"E:\\"});
    s.card('E').prompts("0120");
    s.selectCard(0);
    EXPECT_EQ(s.field(ControlId::PromptVersion), "1.20");
    EXPECT_EQ(s.messages(), Texts{});
}

// The cards take turns: each operation is asked about the card that the one before swapped in
// (on the real PC the spare card, which is empty, goes in at the odd steps).
TEST_P(CardChangeOn, ACardSwappedInWhileAQuestionIsOpenGetsNothing) {
    if (OnWin32()) {
        GTEST_SKIP() << "a Wine drive cannot be given another card";
    }
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.removeDrive('G');
    test::ArchiveBuilder prompts("1.20");
    prompts.Prompts("E:", "0120", "new prompt");
    const std::string archive(prompts.bytes.begin(), prompts.bytes.end());
    s.localFile("ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp", archive);
    s.localFile("ZEL\\VoxHarbor\\Backup\\card.vhb", archive);
    s.card('E').prompts("0110");
    s.start();
    s.selectCard(0);
    // What each card held when it left the reader: on the simulated PC both are the one folder;
    // the real PC's spare card is empty.
    Tree held[2] = {Snapshot(s, 'E'), s.onHost() ? Tree{} : Snapshot(s, 'E')};
    int inReader = 0;

    const std::string newBackup = std::string(BackupDir) + "new.vhb";
    const Action swap = s.swapping('E');
    struct Step {
        int button;
        std::function<void()> answer;
        const char* spared;
    };
    const std::vector<Step> steps = {
        {ControlId::Backup, [&] { s.answerFile(ChoosePath(newBackup, swap)); }, "The backup was not made."},
        {ControlId::Restore,
         [&] { s.answerFile(ChoosePath(std::string(BackupDir) + "card.vhb", swap)), s.answerMessage(IDYES); },
         "Nothing has been written to it."},
        {ControlId::Update, [&] { s.answerFile(ChoosePath(PromptArchive)), s.answerMessage(IDYES, swap); },
         "Nothing has been written to it."},
        // Put in while the format dialog is open (and cancelled): not taken for the card formatted.
        {ControlId::Initialize,
         [&] { s.answerMessage(IDYES), s.answerMessage(IDOK), s.answerFormat(CancelFormat(swap)); },
         "Nothing has been written to it."},
        {ControlId::Initialize, [&] { s.answerMessage(IDYES, swap), s.answerMessage(IDOK); },
         "Nothing has been written to it."},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.button);
        const std::size_t before = s.messages().size();
        step.answer();
        s.click(step.button);
        inReader ^= 1;

        ASSERT_GT(s.messages().size(), before);
        EXPECT_EQ(s.messages().back(),
                  std::string("The card in drive E: has been replaced by another card.  ") + step.spared +
                      "  Please check the card and try again.");
        EXPECT_EQ(Difference(held[inReader], Snapshot(s, 'E')), "");
        held[inReader] = Snapshot(s, 'E');
        // The dialog shows the card now in the reader, ready for the next operation.
        EXPECT_EQ(s.field(ControlId::Status), "Ready");
    }
    EXPECT_FALSE(s.exists(newBackup));
    ASSERT_EQ(s.ui().Formats().size(), 1u);
    EXPECT_FALSE(s.ui().Formats()[0].formatted);
    EXPECT_TRUE(s.ui().ProgressEvents().empty());
}
