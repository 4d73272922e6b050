// Prompt update: the checks, the file dialog, the version question and its outcomes, a full card,
// and a card pulled while the question is open.
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

constexpr const char* Complete = "Prompt Update complete.";
constexpr const char* CardVersionFile = "E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT";
constexpr const char* CardOnlyPrompt = "E:\\VM\\PROMPTS\\0\\3\\0\\OLD.VOX";
constexpr const char* NewPrompt = "E:\\VM\\PROMPTS\\0\\0\\P001.WAV";
constexpr const char* Message = "E:\\VM\\MSG\\M0001.VOX";

std::string PromptArchiveBytes(const std::string& version, const std::string& versionFile) {
    ArchiveBuilder b(version);
    b.Prompts("E:\\", versionFile, std::string(30000, 'p'));
    return std::string(b.bytes.begin(), b.bytes.end());
}

// Card E: with the given prompt version file (none when empty), a prompt only it has and a
// message; the prompt-update archive in place; the card selected.
void Prepare(Scenario& s, const std::string& cardVersionFile, const std::string& archive) {
    if (!cardVersionFile.empty()) {
        s.card('E').prompts(cardVersionFile).file("VM\\PROMPTS\\0\\3\\0\\OLD.VOX", "old prompt");
    }
    s.card('E').file("VM\\MSG\\M0001.VOX", "message");
    s.localFile("ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp", archive);
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.messages(), Texts{});
    s.ui().ClearStatusHistory();
}

void Update(Scenario& s) {
    s.answerFile(ChoosePath(PromptArchive));
    s.click(ControlId::Update);
}

const Texts UpdateStates = {"Ready", "Deleting Old Prompts", "Updating Prompts", "Finalizing", "Ready"};

} // namespace

TEST(Update, TheOpenDialogAsksForAVhpAndCancelChangesNothing) {
    Scenario s;
    Prepare(s, "0110", PromptArchiveBytes("1.20", "0120"));
    const Tree card = Snapshot(s, 'E');
    s.answerFile(CancelFileDialog());
    s.click(ControlId::Update);

    ASSERT_EQ(s.ui().FileDialogs().size(), 1u);
    const platform::FileDialogRequest& request = s.ui().FileDialogs()[0].request;
    EXPECT_FALSE(s.ui().FileDialogs()[0].save);
    EXPECT_EQ(request.filterDescription, "ZEL VoxHarbor Greeting & Data Files (*.vhp)");
    EXPECT_EQ(request.filterPattern, "*.vhp");
    EXPECT_EQ(request.initialDir, "C:\\ZEL\\VoxHarbor\\Prompts\\");
    EXPECT_EQ(request.fileName, "*.vhp");
    EXPECT_EQ(request.flags, OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);
    EXPECT_EQ(s.messages(), Texts{});
    EXPECT_EQ(s.statusHistory(0), Texts{"Ready"});
    EXPECT_EQ(s.ui().WaitCursorBegins(), 0);
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
}

class UpdateOn : public OnEachPc {};
FK_ON_EACH_PC(UpdateOn);

TEST_P(UpdateOn, TheVersionQuestionDecidesWhetherThePromptsAreReplaced) {
    struct Case {
        std::string cardVersionFile; // "" for a card without prompts
        std::string archiveVersion;
        std::string archiveVersionFile;
        std::optional<int> answer; // none: no question expected
        bool oldPromptsDeleted;
    };
    const std::vector<Case> cases = {
        {"0110", "1.10", "0110", std::nullopt, false}, // written over the card's, nothing deleted
        {"0110", "1.20", "0120", IDYES, true},
        {"0120", "1.10", "0110", IDNO, false}, // an older archive is offered alike
        {"", "1.20", "0120", IDYES, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("card \"" + c.cardVersionFile + "\", archive " + c.archiveVersion);
        const auto scenario = NewScenario();
        Scenario& s = *scenario;
        Prepare(s, c.cardVersionFile, PromptArchiveBytes(c.archiveVersion, c.archiveVersionFile));
        const Tree before = Snapshot(s, 'E');
        if (c.answer) {
            s.answerMessage(*c.answer);
        }
        Update(s);

        const std::string cardShown =
            c.cardVersionFile.empty() ? std::string("No Prompts")
                                      : c.cardVersionFile.substr(1, 1) + "." + c.cardVersionFile.substr(2);
        Texts expected;
        if (c.answer) {
            expected.push_back(Question(c.archiveVersion, cardShown));
            EXPECT_EQ(s.ui().Messages()[0].buttons, MB_YESNO);
        }
        EXPECT_EQ(s.readFile(Message), "message");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
        if (c.answer == IDNO) {
            EXPECT_EQ(s.messages(), expected);
            EXPECT_EQ(Difference(before, Snapshot(s, 'E')), "");
            EXPECT_EQ(s.statusHistory(0), Texts{"Ready"});
            continue;
        }
        expected.push_back(Complete);
        EXPECT_EQ(s.messages(), expected);
        EXPECT_EQ(s.readFile(NewPrompt), std::string(30000, 'p'));
        EXPECT_EQ(s.field(ControlId::PromptVersion), c.archiveVersion);
        if (!c.cardVersionFile.empty()) {
            EXPECT_EQ(s.exists(CardOnlyPrompt), !c.oldPromptsDeleted);
        }
        EXPECT_EQ(s.statusHistory(0), UpdateStates);
    }
}

// A backup chosen for an update, or any archive with entries outside the prompt directory,
// would write over the card's messages: refused before any question or change.
TEST(Update, AnArchiveWithMoreThanPromptsIsRefused) {
    ArchiveBuilder b("1.20");
    b.Prompts("E:\\", "0120", "new prompt").File(R"(E:\\VM\\MSG\M0001.VOX)", "written over");
    Scenario s;
    Prepare(s, "0110", std::string(b.bytes.begin(), b.bytes.end()));
    const Tree card = Snapshot(s, 'E');
    Update(s);
    EXPECT_EQ(s.messages(),
              Texts{"The file " + std::string(PromptArchive) +
                    " holds more than system prompts and cannot be used for a Prompt Update.  The "
                    "VoxHarbor card has not been changed."});
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    EXPECT_TRUE(s.ui().ProgressEvents().empty());
}

TEST(Update, PromptsThatDoNotFitAreRefusedBeforeTheOldOnesGo) {
    Scenario s;
    Prepare(s, "0110", PromptArchiveBytes("1.20", "0120"));
    // No room left but what the old prompts free: the version file fits, the prompt does not.
    const std::uint64_t free = [&] {
        DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
        s.pc().Drives().GetDiskFreeSpace("E:\\", &spc, &bps, &freeClusters, &total);
        return std::uint64_t{freeClusters} * spc * bps;
    }();
    std::string error;
    ASSERT_TRUE(platform::SimFill(s.folder(), 'E', free, &error)) << error;
    s.pc().Refresh();
    const Tree card = Snapshot(s, 'E');
    s.answerMessage(IDYES);
    Update(s);

    // The new prompts cannot fit even in the room the old ones leave: refused before the old
    // ones are deleted.
    EXPECT_EQ(s.messages(), (Texts{Question("1.20", "1.10"), CardFull}));
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    EXPECT_FALSE(s.ui().ProgressBarExists());
}

TEST(Update, ACardPulledWhileTheQuestionIsOpenEndsWithoutAMessage) {
    for (bool unplugReader : {false, true}) {
        SCOPED_TRACE(unplugReader ? "reader unplugged" : "card pulled from the reader");
        Scenario s;
        s.removeDrive('G');
        Prepare(s, "0110", PromptArchiveBytes("1.20", "0120"));
        s.answerMessage(IDYES, [&s, unplugReader] {
            if (unplugReader) {
                s.unplug('E');
            } else {
                s.pull('E');
            }
        });
        Update(s);

        EXPECT_EQ(s.messages(), Texts{Question("1.20", "1.10")});
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
        EXPECT_TRUE(s.ui().ProgressEvents().empty());
        const Texts& states = s.statusHistory(0);
        EXPECT_EQ(std::find(states.begin(), states.end(), "Updating Prompts"), states.end());
        if (!unplugReader) {
            s.insert('E');
            EXPECT_EQ(s.readFile(CardOnlyPrompt), "old prompt");
        }
    }
}
