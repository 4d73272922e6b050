// Start-up, the status bar, routing of system commands and AutoPlay, and the application object.
#include "app/flashkeeper3.h"
#include "resources/Resources.h"
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

using namespace fktest;

namespace {

constexpr const char* ReinstallMessage =
    "The VoxHarbor directory and associated files were not found.  Please re-install the application.";

} // namespace

TEST(Startup, WithTheInstallationTheDialogStaysOpenWithNoCardSelected) {
    Scenario s;
    s.card('E').label("CARD").prompts("0110\r\n");
    s.start();

    EXPECT_FALSE(s.ended());
    EXPECT_EQ(s.messages(), Texts{});
    // Whatever the first slot holds, the fields start empty and the card unselected...
    EXPECT_EQ(s.field(ControlId::Status), "Card Not Selected");
    EXPECT_EQ(s.field(ControlId::Device), "");
    EXPECT_EQ(s.field(ControlId::Type), "");
    EXPECT_EQ(s.field(ControlId::PromptVersion), "");
    // ...while the scan of slot 0 (E:) shows in the status bar and the hidden language fields.
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.statusBar(1), "");
    EXPECT_EQ(s.field(ControlId::LanguageVersion0), "1.10\r");
    EXPECT_EQ(s.field(ControlId::LanguageVersion3), "1.10\r");
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\"}));
    EXPECT_EQ(s.dialog().ButtonItem(ControlId::Backup).GetBitmap(), resources::IDB_BACKUP);
    EXPECT_EQ(s.dialog().ButtonItem(ControlId::Read).GetBitmap(), resources::IDB_READ);
}

// Without the prompt update file, or without the whole installation folder on C:.
TEST(Startup, WithoutTheInstallationTheReinstallMessageEndsTheDialogAfterTheLastStep) {
    for (const bool folderToo : {false, true}) {
        SCOPED_TRACE(folderToo ? "no installation folder" : "no prompt update file");
        Scenario s;
        s.withoutInstallation();
        if (folderToo) {
            s.removeDrive('C');
            s.card('C').type(platform::SimDriveType::Fixed);
        }
        s.start();

        ASSERT_EQ(s.messages(), Texts{ReinstallMessage});
        EXPECT_EQ(s.ui().Messages()[0].buttons, MB_OK);
        EXPECT_EQ(s.ui().Messages()[0].caption, "flashkeeper3");
        EXPECT_TRUE(s.ended());
        EXPECT_EQ(s.endResult(), IDOK);
        // The remaining start-up steps still ran.
        EXPECT_EQ(s.field(ControlId::Status), "Card Not Selected");
    }
}

TEST(Startup, ABusyPromptUpdateFileDoesNotStopStartUp) {
    Scenario s;
    s.start();
    // A second instance finds the file open without sharing: that is not a missing installation.
    platform::FileSystem& fs = s.pc().Files();
    const platform::Handle busy = fs.CreateFile("C:\\ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp",
                                                GENERIC_READ, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_NE(busy, platform::InvalidHandle);
    ScriptedUi otherUi;
    CardUtilityDialog second(otherUi, s.pc());
    second.InitDialog();
    fs.CloseHandle(busy);
    EXPECT_FALSE(second.IsEnded());
    EXPECT_EQ(otherUi.MessageTexts(), Texts{});
}

TEST(Startup, WithoutACardInSlotZeroTheStatusBarAsksForOne) {
    Scenario s;
    s.removeDrive('E');
    s.removeDrive('G');
    s.start();
    EXPECT_EQ(s.statusBar(0), "Insert Card");
    EXPECT_EQ(s.field(ControlId::LanguageVersion0), "UND");
    EXPECT_EQ(s.field(ControlId::LanguageVersion1), "UND");
}

TEST(StatusBar, PartEdgesTruncateBothDivisions) {
    const std::vector<std::pair<int, std::vector<int>>> cases = {
        {473, {118, 471}}, // the dialog's own width
        {400, {100, 399}},
        {401, {100, 399}},
        {402, {100, 402}},
    };
    for (const auto& [width, edges] : cases) {
        Scenario s;
        s.clientWidth(width);
        s.start();
        EXPECT_EQ(s.dialog().statusBar.Parts(), edges) << "client width " << width;
    }
}

TEST(StatusBar, CreationFailureIsReportedAndStartUpGoesOn) {
    Scenario s;
    s.ui().SetChildCreationFails(true);
    s.start();
    EXPECT_EQ(s.messages(), Texts{"Status Bar not created"});
    EXPECT_FALSE(s.ended());
    EXPECT_EQ(s.field(ControlId::Status), "Card Not Selected");
}

TEST(SystemMenu, TheAboutItemOpensTheAboutBoxAndLeavesTheDialogAsItWas) {
    Scenario s;
    s.start();
    const std::vector<platform::MenuItem>& menu = *s.dialog().GetSystemMenu(FALSE);
    ASSERT_GE(menu.size(), 2u);
    EXPECT_TRUE(menu[menu.size() - 2].separator);
    EXPECT_EQ(menu.back().commandId, 16u);
    EXPECT_EQ(menu.back().text, "&About ZEL VoxHarbor Utility...");
    EXPECT_FALSE(menu.back().separator);
    s.selectCard(0);
    const std::string status = s.field(ControlId::Status);

    s.answerModal(PressOk());
    s.send(WM_SYSCOMMAND, IDM_ABOUTBOX);
    // The low four bits belong to the system and do not change the command.
    s.answerModal(PressCancel());
    s.send(WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3);

    ASSERT_EQ(s.ui().Modals().size(), 3u); // the selection, then the About box twice
    EXPECT_EQ(s.ui().Modals()[1].templateId, resources::IDD_ABOUTBOX);
    EXPECT_EQ(s.ui().Modals()[1].title, "About ZEL VoxHarbor Utility");
    EXPECT_EQ(s.ui().Modals()[2].templateId, resources::IDD_ABOUTBOX);
    EXPECT_FALSE(s.ended());
    EXPECT_EQ(s.field(ControlId::Status), status);
}

// Exit collects the controls (a member changed without showing it is reverted) and ends with
// OK; Close on the system menu ends with Cancel.
TEST(Exit, ExitEndsWithOkAndCloseWithCancel) {
    Scenario s;
    s.start();
    s.dialog().statusText = "changed";
    s.click(ControlId::Exit);
    EXPECT_TRUE(s.ended());
    EXPECT_EQ(s.endResult(), IDOK);
    EXPECT_EQ(s.dialog().statusText, "Card Not Selected");

    Scenario closed;
    closed.start();
    closed.send(WM_SYSCOMMAND, SC_CLOSE);
    EXPECT_TRUE(closed.ended());
    EXPECT_EQ(closed.endResult(), IDCANCEL);
}

TEST(AutoPlay, EachRequestIsRefusedAndRescansTheDrivesOnce) {
    Scenario s;
    s.start();
    ASSERT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\"}));

    // A reader plugged in without a device-change event: only the AutoPlay request shows it.
    s.card('H').label("SECOND");
    int repaints = s.ui().RepaintCount();
    EXPECT_EQ(s.queryCancelAutoPlay(), 1);
    EXPECT_EQ(s.ui().RepaintCount(), repaints + 1); // one re-scan, one repaint
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\", "H:\\"}));

    repaints = s.ui().RepaintCount();
    EXPECT_EQ(s.queryCancelAutoPlay(), 1);
    EXPECT_EQ(s.ui().RepaintCount(), repaints + 1);
    EXPECT_EQ(s.messages(), Texts{});
    // The fields are not touched by a re-scan.
    EXPECT_EQ(s.field(ControlId::Status), "Card Not Selected");
}

TEST(Application, RunsTheDialogAndReturnsFalse) {
    Scenario s; // only for its simulated PC and Ui
    s.withoutInstallation();
    s.start();
    ScriptedUi ui;
    CardUtilityApp app;
    EXPECT_EQ(app.InitInstance(ui, s.pc()), FALSE);
    EXPECT_EQ(ui.MessageTexts(), Texts{ReinstallMessage});
    EXPECT_EQ(ui.MainWindow(), nullptr);
    ASSERT_EQ(ui.EndedDialogs().size(), 1u);
    EXPECT_EQ(ui.EndedDialogs()[0].first, resources::IDD_CARDUTILITY_DIALOG);
}

TEST(Routing, ASelectionChangeOfTheDeviceListSelectsThatSlot) {
    Scenario s;
    s.card('G').media(true).label("SECOND").prompts("0120");
    s.start();
    s.dialog().ComboItem(ControlId::DeviceCombo).SetCurSel(1);
    s.send(WM_COMMAND, MAKEWPARAM(ControlId::DeviceCombo, CBN_SELCHANGE));
    EXPECT_EQ(s.dialog().deviceIndex, 1);
    EXPECT_EQ(s.dialog().CardRoot(), "G:\\");
    EXPECT_EQ(volumeLabel, "SECOND");
    EXPECT_EQ(s.field(ControlId::PromptVersion), "1.20");
    // The selection change alone does not select a card for the operations.
    EXPECT_EQ(s.field(ControlId::Status), "Card Not Selected");
}
