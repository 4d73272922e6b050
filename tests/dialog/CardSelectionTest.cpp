// Select: the drive selection dialog, the media probe, the capacity and card type, and the
// fields that tell the operations whether a card is selected.
#include "card/DriveSelectionDialog.h"
#include "resources/Resources.h"
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

#include <functional>

using namespace fktest;

namespace {

struct Fields {
    std::string status, device, type, version;
    friend bool operator==(const Fields&, const Fields&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Fields& f) {
        return out << "{" << f.status << " | " << f.device << " | " << f.type << " | " << f.version << "}";
    }
};

Fields FieldsOf(Scenario& s) {
    return Fields{s.field(ControlId::Status), s.field(ControlId::Device), s.field(ControlId::Type),
                  s.field(ControlId::PromptVersion)};
}

const Fields NotSelected{"Card Not Selected", "", "", ""};

} // namespace

TEST(CardSelection, ALabelledCardWithPrompts) {
    Scenario s;
    s.card('E').label("CARD").capacityBytes(64'028'672).prompts("0110\r\n");
    s.start();
    s.selectCard(0);

    EXPECT_EQ(FieldsOf(s), (Fields{"Ready", "CARD (E:)", "VoxHarbor 4 Hour", "1.10\r"}));
    EXPECT_EQ(s.messages(), Texts{});
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.dialog().deviceIndex, 0);
    EXPECT_EQ(s.dialog().deviceCapacities[0], 64);
    EXPECT_EQ(volumeLabel, "CARD");
    // The selection dialog offered the drives by label, the first one preselected.
    ASSERT_EQ(s.ui().Modals().size(), 1u);
    EXPECT_EQ(s.ui().Modals()[0].title, "Select VoxHarbor Card");
    EXPECT_EQ(s.ui().Modals()[0].comboItems, (Texts{"CARD (E:)", "Removable Disk (G:)"}));
    EXPECT_EQ(s.ui().Modals()[0].comboSelection, 0);
}

// Cards whose label, prompts or geometry are missing or cannot be read are still usable.
TEST(CardSelection, ACardWithPartsMissingOrUnreadableIsStillUsable) {
    struct Case {
        const char* what;
        std::function<void(Scenario&)> setUp;
        Fields fields;
        std::int32_t capacity;
    };
    const std::vector<Case> cases = {
        {"no label or prompts",
         [](Scenario& s) { s.card('E').label(""); },
         {"Ready", "Removable Disk (E:)", "VoxHarbor 4 Hour", "No Prompts"},
         64},
        {"unreadable label",
         [](Scenario& s) {
             s.card('E').label("CARD");
             s.failVolumeLabel('E', ERROR_UNRECOGNIZED_VOLUME);
         },
         {"Ready", "Removable Disk (E:)", "VoxHarbor 4 Hour", "No Prompts"},
         64},
        {"unreadable geometry",
         [](Scenario& s) {
             s.card('E').label("CARD").prompts("0110");
             s.failDiskGeometry('E', ERROR_NOT_READY);
         },
         {"Ready", "CARD (E:)", "Unknown Card Type", "1.10"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scenario s;
        c.setUp(s);
        s.start();
        s.selectCard(0);
        EXPECT_EQ(FieldsOf(s), c.fields);
        EXPECT_EQ(s.ui().Modals()[0].comboItems[0], c.fields.device);
        EXPECT_EQ(s.dialog().deviceCapacities[0], c.capacity);
    }
}

TEST(CardSelection, AnEmptyReaderOrACardThisUserMayNotMountSaysSoOnceAndLeavesNoCardSelected) {
    Scenario s;
    s.card('E').label("CARD").prompts("0110");
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::Status), "Ready");

    s.selectCard(1); // G:, the empty reader
    EXPECT_EQ(s.messages(), Texts{"No media present."});
    EXPECT_EQ(FieldsOf(s), NotSelected);
    EXPECT_EQ(s.dialog().deviceIndex, 1);

    // The system refuses this user the card's files (a mount not authorised): not an unknown card.
    s.failDiskGeometry('E', ERROR_ACCESS_DENIED);
    s.selectCard(0);
    EXPECT_EQ(s.messages(), (Texts{"No media present.",
                                   "You are not permitted to mount the card in drive E:.  Please enter the "
                                   "password if the system asks for it, or run the program as a user who is "
                                   "allowed to mount removable media, and then select the card again."}));
    EXPECT_EQ(FieldsOf(s), NotSelected);
}

TEST(CardSelection, CancelChangesNothing) {
    Scenario s;
    s.card('E').label("CARD").prompts("0110");
    s.start();
    s.selectCard(0);
    const Fields before = FieldsOf(s);

    ModalAnswer chooseThenCancel = PressCancel();
    chooseThenCancel.comboSelection = 1;
    s.answerModal(chooseThenCancel);
    s.answerModal(PressCancel());
    s.click(ControlId::Select);
    s.click(ControlId::Select); // Cancel after choosing G: as well as a plain Cancel

    EXPECT_EQ(FieldsOf(s), before);
    EXPECT_EQ(s.dialog().deviceIndex, 0);
    EXPECT_EQ(s.messages(), Texts{});
}

TEST(CardSelection, NothingChosenLeavesNoCardSelected) {
    Scenario s;
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::Status), "Ready");
    s.selectCard(-1); // no item selected when OK is pressed
    EXPECT_EQ(FieldsOf(s), NotSelected);
    EXPECT_EQ(s.messages(), Texts{});
}

TEST(CardSelection, WithoutRemovableDrivesOnlyNoneIsOfferedAndOkChangesNothing) {
    Scenario s;
    s.removeDrive('E');
    s.removeDrive('G');
    s.start();
    s.answerModal(PressOk());
    s.click(ControlId::Select);

    ASSERT_EQ(s.ui().Modals().size(), 1u);
    EXPECT_EQ(s.ui().Modals()[0].comboItems, Texts{"None"});
    EXPECT_EQ(s.ui().Modals()[0].comboSelection, 0);
    EXPECT_EQ(FieldsOf(s), NotSelected);
    EXPECT_EQ(s.messages(), Texts{});
}

// The card E: (item 0) pulled, or the reader G: (item 1) unplugged, before OK is pressed: only
// the pulled card is still a drive to report on.
TEST(CardSelection, ACardOrReaderGoneWhileTheListIsOpenIsNotSelected) {
    for (const bool pulled : {true, false}) {
        SCOPED_TRACE(pulled ? "card pulled" : "reader unplugged");
        Scenario s;
        s.card('E').prompts("0110");
        s.start();
        s.answerModal(pulled ? SelectItem(0, s.pulling('E')) : SelectItem(1, [&s] { s.unplug('G'); }));
        s.click(ControlId::Select);
        EXPECT_EQ(s.messages(), pulled ? Texts{"No media present."} : Texts{});
        EXPECT_EQ(FieldsOf(s), NotSelected);
        EXPECT_EQ(s.dialog().CardRoot(), pulled ? "E:\\" : ""); // the pulled card's drive is still there
    }
}

TEST(CardSelection, ALaterSelectionOfACardWithoutPromptsDoesNotShowTheEarlierVersion) {
    Scenario s;
    s.card('E').label("FIRST").prompts("0110");
    s.card('G').media(true).label("SECOND");
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::PromptVersion), "1.10");
    s.selectCard(1);
    EXPECT_EQ(FieldsOf(s), (Fields{"Ready", "SECOND (G:)", "VoxHarbor 4 Hour", "No Prompts"}));
    EXPECT_EQ(s.dialog().promptVersion, "No Prompts");
}

struct CapacityCase {
    std::uint64_t bytes;
    const char* type;
};

void PrintTo(const CapacityCase& c, std::ostream* out) {
    *out << c.bytes << " bytes";
}

class CardType : public testing::TestWithParam<CapacityCase> {};

TEST_P(CardType, FollowsTheCapacityInMillionsOfBytes) {
    Scenario s;
    s.card('E').capacityBytes(GetParam().bytes);
    s.start();
    s.selectCard(0);
    EXPECT_EQ(s.field(ControlId::Type), GetParam().type) << GetParam().bytes << " bytes";
    // Stored in millions of bytes, without wrapping past 4 GiB.
    EXPECT_EQ(s.dialog().deviceCapacities[0], static_cast<std::int32_t>(GetParam().bytes / 1'000'000));
    // Every card that answers is usable, named or not.
    EXPECT_EQ(s.field(ControlId::Status), "Ready");
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, CardType,
    testing::Values(
        CapacityCase{62'999'999, "Unknown Card Type"}, CapacityCase{63'995'904, "VoxHarbor 4 Hour"},
        CapacityCase{64'028'672, "VoxHarbor 4 Hour"}, CapacityCase{65'000'000, "Unknown Card Type"},
        CapacityCase{126'999'872, "Unknown Card Type"}, CapacityCase{127'000'064, "VoxHarbor 8 Hour"},
        CapacityCase{128'974'848, "VoxHarbor 8 Hour"}, CapacityCase{129'999'872, "VoxHarbor 8 Hour"},
        CapacityCase{130'000'000, "Unknown Card Type"}, CapacityCase{256'000'000, "VoxHarbor 12 Hour"},
        CapacityCase{257'000'000, "Unknown Card Type"}, CapacityCase{512'000'000, "VoxHarbor 16 Hour"},
        // 32 millions names no card of this system.
        CapacityCase{32'000'000, "Unknown Card Type"},
        // 4 GiB + 64,028,672: a 32-bit product would wrap to a 4 Hour card.
        CapacityCase{4'294'967'296ull + 64'028'672ull, "Unknown Card Type"},
        CapacityCase{4'294'967'296ull, "Unknown Card Type"}, CapacityCase{0, "Unknown Card Type"},
        CapacityCase{8ull * 1024 * 1024 * 1024, "Unknown Card Type"}));

TEST(DriveSelectionDialog, ListsTheSlotsItWasGivenByLabel) {
    Scenario s;
    s.card('E').label("CARD");
    s.card('H').media(false);
    s.start();

    ScriptedUi ui;
    DriveSelectionDialog dlg(ui, s.pc().Drives());
    dlg.driveRoots = {"E:\\", "G:\\", "H:\\", "", "", ""};
    ui.AnswerModal(SelectItem(2));
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.selectedIndex, 2);
    EXPECT_EQ(dlg.itemTexts[0], "");
    EXPECT_EQ(ui.Modals()[0].comboItems, (Texts{"CARD (E:)", "Removable Disk (G:)", "Removable Disk (H:)"}));
    EXPECT_EQ(ui.Modals()[0].templateId, resources::IDD_DRIVESELECTION);
}
