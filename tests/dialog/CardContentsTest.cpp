// The card's prompt versions, the status refresh, the data exchange rules it relies on, and the
// deletion of the card's prompts.
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

using namespace fktest;

namespace {

using Versions = std::array<std::string, 4>;

std::string SlotFile(int slot) {
    return "E:\\VM\\PROMPTS\\0\\" + std::to_string(slot) + "\\0\\VERSION.TXT";
}

} // namespace

TEST(PromptVersion, TheCarriageReturnBeforeTheLineFeedStays) {
    Scenario s;
    s.card('E')
        .promptSlot(0, "0110\r\n")
        .promptSlot(1, "0110\n")
        .promptSlot(2, "0110")
        .promptSlot(3, "0110\n0999\n");
    s.start();
    s.selectCard(0);
    EXPECT_EQ(s.dialog().cardLanguageVersions, (Versions{"1.10\r", "1.10", "1.10", "1.10"}));
    EXPECT_EQ(s.field(ControlId::PromptVersion), "1.10\r");
}

TEST(PromptVersion, DisplayedForms) {
    const std::vector<std::pair<std::string, std::string>> slot0 = {
        {"0110", "1.10"},  {"01100", "1.100"}, {"01", "1."},      {"0", ""},
        {"1234", "12.34"}, {"12345", "12.34"}, {"123", "12.3"},   {"12", "12."},
        {"1", "1"},        {"", "UND"},        {"%s%n", "%s.%n"}, {"0110\r", "1.10\r"},
    };
    Scenario s;
    s.start();
    CardUtilityDialog& dlg = s.dialog();
    for (const auto& [raw, shown] : slot0) {
        dlg.cardLanguageVersions[0] = raw;
        dlg.FormatVersionText(0);
        EXPECT_EQ(dlg.cardLanguageVersions[0], shown) << "from \"" << raw << "\"";
        EXPECT_EQ(dlg.promptVersion, shown);
    }
    // The other slots never touch the prompt version.
    dlg.promptVersion = "kept";
    dlg.cardLanguageVersions[2] = "0200";
    dlg.FormatVersionText(2);
    EXPECT_EQ(dlg.cardLanguageVersions[2], "2.00");
    EXPECT_EQ(dlg.promptVersion, "kept");
}

TEST(PromptVersion, OnlyTheFirst49CharactersOfTheFirstLineCount) {
    const std::string fifty = "0" + std::string(49, '7');
    Scenario s;
    s.card('E').promptSlot(0, fifty + "\n").promptSlot(1, std::string(1, '\0') + "0110\n");
    s.start();
    s.selectCard(0);
    // 49 characters read: 0 and 48 sevens, shown as 7.777... with 47 after the full stop.
    EXPECT_EQ(s.dialog().promptVersion, "7." + std::string(47, '7'));
    // A NUL byte ends the text: nothing readable is UND.
    EXPECT_EQ(s.dialog().cardLanguageVersions[1], "UND");
}

TEST(PromptVersion, AMissingSlotStopsTheRefreshAndLaterSlotsKeepTheirTexts) {
    Scenario s;
    s.card('E').prompts("0110");
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.dialog().cardLanguageVersions, (Versions{"1.10", "1.10", "1.10", "1.10"}));

    ASSERT_TRUE(s.pc().Files().DeleteFile(SlotFile(1)));
    s.card('E').promptSlot(0, "0120").promptSlot(2, "0200").promptSlot(3, "0300");
    s.click(ControlId::Read);

    EXPECT_EQ(s.dialog().cardLanguageVersions, (Versions{"1.20", "1.10", "1.10", "1.10"}));
    EXPECT_EQ(s.field(ControlId::LanguageVersion0), "1.20");
}

TEST(PromptVersion, ACardThatLosesItsPromptsShowsNoVersionAtOnce) {
    Scenario s;
    s.card('E').prompts("0110");
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::PromptVersion), "1.10");

    EXPECT_EQ(s.pc().Files().DeleteTree("E:\\VM\\PROMPTS"), ERROR_SUCCESS);
    s.click(ControlId::Read);
    EXPECT_EQ(s.dialog().promptVersion, "");
    EXPECT_EQ(s.field(ControlId::PromptVersion), "");
    // No slot was read: the language texts stay as they were.
    EXPECT_EQ(s.dialog().cardLanguageVersions, (Versions{"1.10", "1.10", "1.10", "1.10"}));
    // A later collection therefore cannot bring the old version back.
    s.dialog().UpdateData(TRUE);
    EXPECT_EQ(s.dialog().promptVersion, "");
}

// A version file that cannot be opened (slot 2), and a folder in the version file's place (slot 0).
TEST(PromptVersion, AVersionFileThatCannotBeReadIsUnd) {
    Scenario s;
    s.card('E').prompts("0110");
    s.start();
    s.setCallFault([](platform::FileCall call, std::string_view path) -> DWORD {
        return call == platform::FileCall::Open && path.find("\\2\\0\\VERSION.TXT") != std::string_view::npos
                   ? ERROR_SHARING_VIOLATION
                   : 0;
    });
    s.selectCard(0);
    EXPECT_EQ(s.dialog().cardLanguageVersions, (Versions{"1.10", "1.10", "UND", "1.10"}));

    Scenario folder;
    folder.card('E').directory("VM\\PROMPTS\\0\\0\\0\\VERSION.TXT");
    folder.start();
    folder.selectCard(0);
    EXPECT_EQ(folder.dialog().cardLanguageVersions[0], "UND");
    EXPECT_EQ(folder.field(ControlId::PromptVersion), "UND");
}

TEST(CardStatus, WithoutADriveBehindTheSelectionEverySlotIsUnd) {
    Scenario s;
    s.removeDrive('G');
    s.card('E').prompts("0110");
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.statusBar(0), "Ready");
    s.ui().ClearStatusHistory();

    s.unplug('E');
    s.click(ControlId::Read);
    EXPECT_EQ(s.statusBar(0), "Insert Card");
    EXPECT_EQ(s.dialog().cardLanguageVersions, (Versions{"UND", "UND", "UND", "UND"}));
    EXPECT_EQ(s.dialog().promptVersion, "");
    EXPECT_EQ(s.ui().StatusHistory(0), (Texts{"Ready", "Insert Card"}));
}

TEST(StateText, OperationTextsNeedADriveAndReadyBecomesInsertCard) {
    Scenario s;
    s.start();
    CardUtilityDialog& dlg = s.dialog();
    dlg.SetStateText("Backing Up Data");
    EXPECT_EQ(s.statusBar(0), "Backing Up Data");

    dlg.deviceIndex = 3; // an empty slot
    dlg.SetStateText("Restoring Data");
    EXPECT_EQ(s.statusBar(0), "Backing Up Data");
    dlg.SetStateText("Ready");
    EXPECT_EQ(s.statusBar(0), "Insert Card");
}

TEST(DataExchange, CollectingOverwritesEveryBoundMemberAndAnOutOfRangeIndexGivesMinusOne) {
    Scenario s;
    s.start();
    CardUtilityDialog& dlg = s.dialog();
    dlg.cardType = "x";
    dlg.deviceName = "x";
    dlg.cardLanguageVersions[3] = "x";
    dlg.UpdateData(TRUE);
    EXPECT_EQ(dlg.cardType, "");
    EXPECT_EQ(dlg.deviceName, "");
    EXPECT_EQ(dlg.cardLanguageVersions[3], s.field(ControlId::LanguageVersion3));

    dlg.deviceIndex = 7;
    dlg.ShowMembers();
    dlg.UpdateData(TRUE);
    EXPECT_EQ(dlg.deviceIndex, -1);
    EXPECT_EQ(dlg.CardRoot(), "");
    EXPECT_EQ(dlg.SelectedDriveCode(), DriveCodeNone);
    EXPECT_FALSE(dlg.SelectedSlotHasDrive());
}

TEST(CardCleanup, RemovesThePromptsOfEveryLanguageAndNothingElse) {
    Scenario s;
    s.card('E')
        .prompts("0110")
        .file("VM\\PROMPTS\\0\\2\\0\\P0001.WAV", "voice")
        .file("VM\\MSGS\\M0001.WAV", "hello");
    s.start();
    s.selectCard(0);
    s.dialog().DeleteCardPrompts();
    EXPECT_FALSE(s.exists("E:\\VM\\PROMPTS"));
    EXPECT_TRUE(s.exists("E:\\VM"));
    EXPECT_EQ(s.readFile("E:\\VM\\MSGS\\M0001.WAV"), "hello");
    // Again, without anything left to delete: nothing happens, nothing is shown.
    s.dialog().DeleteCardPrompts();
    EXPECT_EQ(s.messages(), Texts{});
}

TEST(CardCleanup, WithoutACardRootNothingIsDeleted) {
    Scenario s;
    s.start();
    std::vector<std::string> deleted;
    s.setCallFault([&deleted](platform::FileCall call, std::string_view path) -> DWORD {
        if (call == platform::FileCall::Delete) {
            deleted.emplace_back(path);
        }
        return 0;
    });
    s.dialog().deviceIndex = -1;
    s.dialog().DeleteCardPrompts();
    s.setCallFault({});
    EXPECT_EQ(deleted, std::vector<std::string>{});
}
