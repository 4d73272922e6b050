// Initialize: the checks, the two questions, the format request, what is installed after a
// format, a cancelled format or a full card, and the Device field afterwards.
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

constexpr const char* Reformat = "You are about to re-format the VoxHarbor card.  Do you want to continue?";
constexpr const char* FatAdvice =
    "The next dialog will show the Format options.  Please select the 'FAT' (not 'FAT32') for the File "
    "System "
    "type.  The 'FAT' option must be selected or the VoxHarbor card will not work in the system.";
constexpr const char* InstalledVersionFile = "E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT";

// The initial card: prompts of version 1.10 and empty message folders.
std::string InitialArchiveBytes(char letter = 'E') {
    const std::string root = std::string(1, letter) + ":\\";
    ArchiveBuilder b("");
    b.Prompts(root, "0110\n", std::string(6000, 'i'))
        .Directory(root + R"(\VM\\MSG\)")
        .Directory(root + R"(\VM\\GREET\)");
    return std::string(b.bytes.begin(), b.bytes.end());
}

// A quick format (on a real card a full one first writes zeros over all of it).
platform::FormatRequest Fat(std::string label) {
    platform::FormatRequest request;
    request.label = std::move(label);
    request.quick = true;
    return request;
}

void Prepare(Scenario& s) {
    s.localFile("ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb", InitialArchiveBytes());
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.messages(), Texts{});
    s.ui().ClearStatusHistory();
}

// Yes to the question, OK to the advice, then the format dialog's answer.
void Initialize(Scenario& s, FormatAnswer format) {
    s.answerMessage(IDYES);
    s.answerMessage(IDOK);
    s.answerFormat(std::move(format));
    s.click(ControlId::Initialize);
}

} // namespace

TEST(Initialize, NoToTheQuestionChangesNothing) {
    Scenario s;
    s.card('E').prompts("0110").file("VM\\MSG\\M0001.VOX", "message");
    Prepare(s);
    const Tree card = Snapshot(s, 'E');
    s.answerMessage(IDNO);
    s.click(ControlId::Initialize);

    EXPECT_EQ(s.messages(), Texts{Reformat});
    EXPECT_EQ(s.ui().Messages()[0].buttons, MB_YESNO);
    EXPECT_TRUE(s.ui().Formats().empty());
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
}

class InitializeOn : public OnEachPc {};
FK_ON_EACH_PC(InitializeOn);

// The Device field shows the new label; a card formatted without one is a "Removable Disk".
TEST_P(InitializeOn, AFormattedCardGetsTheInitialFilesAndItsNewLabel) {
    if (OnWin32()) {
        GTEST_SKIP() << "the Win32 platform leaves formatting to the shell's format dialog";
    }
    for (const auto& [label, device] : {std::pair{"NEWCARD", "NEWCARD (E:)"}, {"", "Removable Disk (E:)"}}) {
        SCOPED_TRACE(device);
        const auto scenario = NewScenario();
        Scenario& s = *scenario;
        s.card('E').prompts("0120").file("VM\\MSG\\M0001.VOX", "message");
        Prepare(s);
        Initialize(s, FormatWith(Fat(label)));

        EXPECT_EQ(s.messages(), (Texts{Reformat, FatAdvice}));
        ASSERT_EQ(s.ui().Formats().size(), 1u);
        EXPECT_EQ(s.ui().Formats()[0].driveNumber, 4u); // E: is drive code 2
        EXPECT_EQ(s.ui().Formats()[0].result, 0u);

        EXPECT_FALSE(s.exists("E:\\VM\\MSG\\M0001.VOX"));
        EXPECT_EQ(s.readFile(InstalledVersionFile), "0110\n");
        EXPECT_EQ(s.readFile("E:\\VM\\PROMPTS\\0\\0\\P001.WAV"), std::string(6000, 'i'));
        EXPECT_TRUE(s.exists("E:\\VM\\GREET"));
        EXPECT_EQ(s.field(ControlId::PromptVersion), "1.10");
        EXPECT_EQ(s.field(ControlId::Device), device);
        const Texts& states = s.statusHistory(0);
        ASSERT_FALSE(states.empty());
        EXPECT_NE(std::find(states.begin(), states.end(), "Installing Prompts"), states.end());
        EXPECT_EQ(states.back(), "Ready");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
        EXPECT_FALSE(s.ui().ProgressBarExists());
        if (s.onHost()) {
            DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
            ASSERT_TRUE(s.platform().Drives().GetDiskFreeSpace("E:\\", &spc, &bps, &freeClusters, &total));
            EXPECT_LT(total, 65525u) << "a FAT16 card has fewer than 65525 clusters";
        }
    }
}

// FAT32 chosen in the format dialog: the simulated PC formats as asked; udisks2 before 2.10 (the
// virtual PC has Debian 12's 2.9) cannot make it, nor can the Win32 platform, which leaves formats
// to the shell's dialog; the card stays as it was instead of quietly becoming FAT16.
TEST_P(InitializeOn, Fat32IsMadeWhenChosenOrRefusedWhereItCannotBe) {
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.card('E').prompts("0120").file("VM\\MSG\\M0001.VOX", "message");
    Prepare(s);
    platform::FormatRequest request = Fat("BIGCARD");
    request.fileSystem = platform::FormatRequest::FileSystemKind::Fat32;
    Initialize(s, FormatWith(request));

    ASSERT_EQ(s.ui().Formats().size(), 1u);
    if (s.onHost()) {
        EXPECT_EQ(s.ui().Formats()[0].result, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(s.readFile("E:\\VM\\MSG\\M0001.VOX"), "message");
        EXPECT_EQ(s.field(ControlId::PromptVersion), "1.20");
    } else {
        EXPECT_EQ(s.ui().Formats()[0].result, 0u);
        EXPECT_FALSE(s.exists("E:\\VM\\MSG\\M0001.VOX"));
        EXPECT_EQ(s.readFile(InstalledVersionFile), "0110\n");
    }
}

TEST(Initialize, ACancelledFormatInstallsOnlyOnACardWithoutPrompts) {
    {
        SCOPED_TRACE("card with prompts");
        Scenario s;
        s.card('E').prompts("0120").file("VM\\MSG\\M0001.VOX", "message");
        Prepare(s);
        const Tree card = Snapshot(s, 'E');
        Initialize(s, CancelFormat());
        EXPECT_EQ(s.messages(), (Texts{Reformat, FatAdvice}));
        EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
        const Texts& states = s.statusHistory(0);
        ASSERT_GE(states.size(), 2u);
        EXPECT_EQ(states[states.size() - 2], "Installing Prompts");
        EXPECT_EQ(states.back(), "Ready");
        EXPECT_EQ(s.ui().WaitCursorBegins(), 0);
    }
    {
        SCOPED_TRACE("card without prompts");
        Scenario s;
        s.card('E').file("VM\\MSG\\M0001.VOX", "message");
        Prepare(s);
        Initialize(s, CancelFormat());
        EXPECT_EQ(s.messages(), (Texts{Reformat, FatAdvice}));
        // Installed over what the card holds.
        EXPECT_EQ(s.readFile("E:\\VM\\MSG\\M0001.VOX"), "message");
        EXPECT_EQ(s.readFile(InstalledVersionFile), "0110\n");
        EXPECT_EQ(s.field(ControlId::PromptVersion), "1.10");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    }
}

TEST(Initialize, ACardInDriveZIsFormattedAsDriveNumber25) {
    Scenario s;
    s.removeDrive('E');
    s.removeDrive('G');
    s.card('Z').label("ZCARD").prompts("0110");
    Prepare(s);
    ASSERT_EQ(s.field(ControlId::Device), "ZCARD (Z:)");
    Initialize(s, CancelFormat());
    ASSERT_EQ(s.ui().Formats().size(), 1u);
    EXPECT_EQ(s.ui().Formats()[0].driveNumber, 25u);
}

TEST(Initialize, AFullCardStopsTheInstallWithItsMessageOnly) {
    Scenario s;
    Prepare(s);
    s.setCallFault([](platform::FileCall call, std::string_view path) -> DWORD {
        return call == platform::FileCall::BackupWrite && path.ends_with("P001.WAV") ? ERROR_DISK_FULL : 0;
    });
    Initialize(s, FormatWith(Fat("NEWCARD")));

    EXPECT_EQ(s.messages(), (Texts{Reformat, FatAdvice, CardFull}));
    // The version file comes first in the archive but is written last: a card whose prompts were
    // not all written shows none, so that a later restore or update asks and writes them whole.
    EXPECT_EQ(s.readFile(InstalledVersionFile), std::nullopt);
    EXPECT_EQ(s.field(ControlId::PromptVersion), "");
    EXPECT_EQ(s.field(ControlId::Device), "NEWCARD (E:)");
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    EXPECT_FALSE(s.ui().ProgressBarExists());
}

TEST(Initialize, AMissingInitialArchiveIsReportedBeforeTheFormat) {
    Scenario s;
    Prepare(s);
    ASSERT_TRUE(s.pc().Files().DeleteFile(InitialArchive));
    const Tree card = Snapshot(s, 'E');
    Initialize(s, FormatWith(Fat("NEWCARD")));
    EXPECT_EQ(s.messages(), (Texts{"The file C:\\ZEL\\Voxharbor\\Data\\InitializedFileStruct.vhb was not "
                                   "found.  The VoxHarbor card has not been changed."}));
    EXPECT_TRUE(s.ui().Formats().empty());
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
}

TEST(Initialize, ACardThatLeftDuringTheQuestionsIsNotFormatted) {
    Scenario s;
    s.removeDrive('G');
    s.card('F').label("OTHER").prompts("0110"); // moves into slot 0 when E: goes
    Prepare(s);
    ASSERT_EQ(s.field(ControlId::Device), "VOXCARD (E:)");
    const Tree other = Snapshot(s, 'F');
    s.answerMessage(IDYES);
    s.answerMessage(IDOK, [&s] { s.unplug('E'); });
    s.click(ControlId::Initialize);

    EXPECT_EQ(s.messages(), (Texts{Reformat, FatAdvice, InsertValidCard}));
    EXPECT_TRUE(s.ui().Formats().empty());
    EXPECT_EQ(Difference(other, Snapshot(s, 'F')), "");
}
