// Restore: the checks, the file dialog, the version question and its outcomes, the progress bar,
// and a card that leaves before or during the restore.
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

const std::string Archive = std::string(BackupDir) + "b.vhb";
constexpr const char* Complete = "Restore Complete.";
constexpr const char* CardVersionFile = "E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT";
// A prompt that only the card has: it survives exactly when the card keeps its prompts.
constexpr const char* CardOnlyPrompt = "E:\\VM\\PROMPTS\\0\\3\\0\\OLD.VOX";

// A backup with prompts of the given version and two messages.
std::string BackupArchive(const std::string& version, const std::string& versionFile = "0120\n") {
    ArchiveBuilder b(version);
    b.Prompts("E:\\", versionFile, "new prompt")
        .Directory(R"(E:\\VM\\MSG\)")
        .File(R"(E:\\VM\\MSG\M0001.VOX)", "first message")
        .File(R"(E:\\VM\\MSG\M0002.VOX)", std::string(3000, 'm'));
    return std::string(b.bytes.begin(), b.bytes.end());
}

// Card E: with prompts "0110" (shown as 1.10) and a prompt file only it has; the archive at
// Archive; the card selected.
void Prepare(Scenario& s, const std::string& archive, bool cardHasPrompts = true) {
    if (cardHasPrompts) {
        s.card('E').prompts("0110").file("VM\\PROMPTS\\0\\3\\0\\OLD.VOX", "old prompt");
    }
    s.localFile("ZEL\\VoxHarbor\\Backup\\b.vhb", archive);
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.messages(), Texts{});
}

void Restore(Scenario& s) {
    s.answerFile(ChoosePath(Archive));
    s.click(ControlId::Restore);
}

void ExpectMessagesRestored(Scenario& s) {
    EXPECT_EQ(s.readFile("E:\\VM\\MSG\\M0001.VOX"), "first message");
    EXPECT_EQ(s.readFile("E:\\VM\\MSG\\M0002.VOX"), std::string(3000, 'm'));
}

void ExpectEndedNormally(Scenario& s) {
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    EXPECT_FALSE(s.ui().ProgressBarExists());
}

} // namespace

TEST(Restore, TheOpenDialogAsksForAnExistingVhbAndCancelEndsReady) {
    Scenario s;
    Prepare(s, BackupArchive("1.20"));
    const Tree card = Snapshot(s, 'E');
    s.ui().ClearStatusHistory();
    s.answerFile(CancelFileDialog());
    s.click(ControlId::Restore);

    ASSERT_EQ(s.ui().FileDialogs().size(), 1u);
    const ShownFileDialog& shown = s.ui().FileDialogs()[0];
    EXPECT_FALSE(shown.save);
    EXPECT_EQ(shown.request.filterDescription, "ZEL VoxHarbor Greeting & Data Files (*.vhb)");
    EXPECT_EQ(shown.request.filterPattern, "*.vhb");
    EXPECT_EQ(shown.request.initialDir, "C:\\ZEL\\Voxharbor\\Backup\\");
    EXPECT_EQ(shown.request.fileName, "*.vhb");
    EXPECT_EQ(shown.request.flags, OFN_FILEMUSTEXIST | OFN_HIDEREADONLY);

    EXPECT_EQ(s.messages(), Texts{});
    EXPECT_EQ(s.statusHistory(0), (Texts{"Ready", "Restoring Data", "Ready"}));
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    ExpectEndedNormally(s);
}

class RestoreOn : public OnEachPc {};
FK_ON_EACH_PC(RestoreOn);

TEST_P(RestoreOn, TheVersionQuestionDecidesAboutThePrompts) {
    enum class Prompts { Kept, Replaced, Untouched };
    struct Case {
        std::string archiveVersion;
        bool cardHasPrompts;
        std::optional<int> answer; // none: no question expected
        Prompts result;
    };
    const std::vector<Case> cases = {
        {"1.10", true, std::nullopt, Prompts::Kept}, {"1.20", true, IDYES, Prompts::Replaced},
        {"1.20", true, IDNO, Prompts::Kept},         {"1.20", true, IDCANCEL, Prompts::Untouched},
        {"1.20", false, IDYES, Prompts::Replaced}, // nothing of the card's is deleted
        {"1.10 ", true, IDNO, Prompts::Kept},      // a trailing blank makes a different version
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("archive \"" + c.archiveVersion + "\", answer " + std::to_string(c.answer.value_or(0)));
        const auto scenario = NewScenario();
        Scenario& s = *scenario;
        s.card('E').file("VM\\GREET\\G0001.VOX", "greeting");
        Prepare(s, BackupArchive(c.archiveVersion, "0120\n"), c.cardHasPrompts);
        const Tree before = Snapshot(s, 'E');
        if (c.answer) {
            s.answerMessage(*c.answer);
        }
        Restore(s);

        Texts expected;
        if (c.answer) {
            expected.push_back(Question(c.archiveVersion, c.cardHasPrompts ? "1.10" : "No Prompts"));
            EXPECT_EQ(s.ui().Messages()[0].buttons, MB_YESNOCANCEL);
        }
        if (c.result != Prompts::Untouched) {
            expected.push_back(Complete);
        }
        EXPECT_EQ(s.messages(), expected);
        EXPECT_EQ(s.readFile("E:\\VM\\GREET\\G0001.VOX"), "greeting");
        switch (c.result) {
        case Prompts::Untouched:
            EXPECT_EQ(Difference(before, Snapshot(s, 'E')), "");
            EXPECT_TRUE(s.ui().ProgressEvents().empty());
            EXPECT_TRUE(s.platform().Files().DeleteFile(Archive)) << "the archive was closed";
            break;
        case Prompts::Kept:
            ExpectMessagesRestored(s);
            EXPECT_EQ(s.readFile(CardVersionFile), "0110");
            EXPECT_EQ(s.readFile(CardOnlyPrompt), "old prompt");
            EXPECT_FALSE(s.exists("E:\\VM\\PROMPTS\\0\\0\\P001.WAV"));
            break;
        case Prompts::Replaced:
            ExpectMessagesRestored(s);
            EXPECT_EQ(s.readFile(CardVersionFile), "0120\n");
            EXPECT_FALSE(s.exists(CardOnlyPrompt));
            EXPECT_EQ(s.field(ControlId::PromptVersion), "1.20");
            break;
        }
        ExpectEndedNormally(s);
    }
}

TEST(Restore, TheProgressBarSpansTheBottomRightAndCountsUp) {
    Scenario s;
    s.clientWidth(500);
    Prepare(s, BackupArchive("1.10"));
    std::optional<platform::Rect> rect;
    int lower = -1, upper = -1, id = 0;
    s.setCallFault([&](platform::FileCall call, std::string_view) -> DWORD {
        if (call == platform::FileCall::BackupWrite && !rect && s.ui().ProgressBar() != nullptr) {
            const platform::ProgressBarControl& bar = *s.ui().ProgressBar();
            rect = bar.GetRect();
            lower = bar.Lower();
            upper = bar.Upper();
            id = bar.Id();
        }
        return 0;
    });
    Restore(s);
    EXPECT_EQ(s.messages(), Texts{Complete});

    ASSERT_TRUE(rect.has_value());
    // 500 x 318: 500 * 0.26 = 130, 318 * 0.95 = 302.1, 500 * 0.999 = 499.5, 318 * 0.999 = 317.68.
    EXPECT_EQ(*rect, (platform::Rect{130, 302, 499, 317}));
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 100);
    EXPECT_EQ(id, 1068);

    const std::vector<ProgressEvent>& events = s.ui().ProgressEvents();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().kind, ProgressEvent::Kind::Created);
    EXPECT_EQ(events.front().position, 0);
    EXPECT_EQ(events.back().kind, ProgressEvent::Kind::Destroyed);
    int last = 0;
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, ProgressEvent::Kind::Position);
        EXPECT_EQ(events[i].position, last + 1) << "one step at a time";
        last = events[i].position;
    }
    EXPECT_LE(last, 100);
    EXPECT_FALSE(s.ui().ProgressBarExists());
}

TEST(Restore, ACardThatLeftWhileADialogWasOpenIsNotWrittenTo) {
    for (bool atQuestion : {false, true}) {
        SCOPED_TRACE(atQuestion ? "at the question" : "at the file dialog");
        Scenario s;
        s.removeDrive('G');
        s.card('F').label("OTHER").prompts("0110"); // moves into the card's slot when E: goes
        Prepare(s, BackupArchive(atQuestion ? "1.20" : "1.10"));
        const Tree other = Snapshot(s, 'F');
        const Action unplug = [&s] { s.unplug('E'); };
        if (atQuestion) {
            s.answerMessage(IDYES, unplug);
            s.answerFile(ChoosePath(Archive));
        } else {
            s.answerFile(ChoosePath(Archive, unplug));
        }
        s.click(ControlId::Restore);

        const Texts shown = s.messages();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(), InsertValidCard);
        EXPECT_EQ(std::count(shown.begin(), shown.end(), Complete), 0);
        EXPECT_TRUE(s.ui().ProgressEvents().empty());
        EXPECT_EQ(Difference(other, Snapshot(s, 'F')), "");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    }
}

// The card pulled while the restore writes: a write error, no completion, and what reached the
// card is still a sound FAT volume.
TEST_P(RestoreOn, ACardPulledMidwayStopsWithAWriteErrorAndNoCompletion) {
    if (OnWin32()) {
        GTEST_SKIP() << "a Wine drive cannot lose its card";
    }
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    ArchiveBuilder b("1.10");
    b.Directory(R"(E:\\VM\\MSG\)");
    for (int i = 0; i < 40; ++i) {
        b.File("E:\\\\VM\\\\MSG\\M" + std::to_string(1000 + i) + ".VOX",
               std::string(20000, static_cast<char>('a' + i % 26)));
    }
    Prepare(s, std::string(b.bytes.begin(), b.bytes.end()));
    s.ui().AtProgressStep(3, s.pulling('E'));
    Restore(s);

    const Texts shown = s.messages();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(std::count(shown.begin(), shown.end(), Complete), 0) << ::testing::PrintToString(shown);
    EXPECT_EQ(shown.back().rfind("An error has occurred while writing", 0), 0u) << shown.back();
    // A USB reader cannot lose its card alone: on the real PC the reader leaves with it.
    EXPECT_EQ(s.statusBar(0), s.onHost() ? "Insert Card" : "Ready");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    EXPECT_FALSE(s.ui().ProgressBarExists());
    if (s.onHost()) {
        std::string findings;
        EXPECT_TRUE(s.host().CheckCardFromOutside(&findings)) << findings;
    }
}
