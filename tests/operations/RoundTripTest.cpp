// The technician's round trip: back up a card, initialise it, restore the backup; the card then
// holds exactly what it held (bytes, attribute words, all three times).
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;
using namespace test;

class RoundTripOn : public OnEachPc {};
FK_ON_EACH_PC(RoundTripOn);

TEST_P(RoundTripOn, BackUpInitialiseRestoreGivesTheOriginalCard) {
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    // The initial card is a part of what the demo card holds, so nothing of it is left over.
    ArchiveBuilder initial("");
    initial.Directory(R"(E:\\VM\)")
        .Directory(R"(E:\\VM\\PROMPTS\)")
        .Directory(R"(E:\\VM\\PROMPTS\\0\)")
        .Directory(R"(E:\\VM\\PROMPTS\\0\\0\)")
        .Directory(R"(E:\\VM\\PROMPTS\\0\\0\\0\)")
        .File(R"(E:\\VM\\PROMPTS\\0\\0\\0\VERSION.TXT)", "0100\n")
        .Directory(R"(E:\\VM\\MSG\)");
    s.localFile("ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb",
                std::string(initial.bytes.begin(), initial.bytes.end()));
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

    platform::FormatRequest format;
    format.label = "VOXCARD";
    format.quick = true;
    s.answerMessage(IDYES);
    s.answerMessage(IDOK);
    s.answerFormat(FormatWith(format));
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
