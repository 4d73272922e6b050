// A card reader leaving and coming back while the dialog runs: the device change reaches the
// dialog (on the real PC as USB hot-plug, through udisks2's signals), and the card is usable again.
#include "OperationTestSupport.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;

class CardChangeOn : public OnEachPc {};
FK_ON_EACH_PC(CardChangeOn);

TEST_P(CardChangeOn, AReaderUnpluggedAndPluggedInAgainIsListedAndReadAgain) {
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
