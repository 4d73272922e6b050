// The pre-checks of the four operations: each failed check shows its own message, in the order
// the operation checks, and nothing is asked, formatted or written.
#include "OperationTestSupport.h"

#include <gtest/gtest.h>

using namespace fktest;
using namespace optest;

TEST(OperationChecks, EachFailedCheckShowsItsMessageAndTouchesNothing) {
    using R = Rung;
    struct Ladder {
        const char* operation;
        int button;
        std::vector<std::pair<Rung, const char*>> rungs;
    };
    const std::vector<Ladder> ladders = {
        {"Backup",
         ControlId::Backup,
         {{R::NotSelected, SelectDevice},
          {R::NoMediaFirstProbe, NoMedia},
          {R::NoMediaSecondProbe, NoMedia},
          {R::NoDrive, InsertValidCard},
          {R::BackupDirMissing, BackupDirMissing}}},
        {"Restore",
         ControlId::Restore,
         {{R::NotSelected, SelectDevice},
          {R::NoMediaFirstProbe, NoMedia},
          {R::NoMediaSecondProbe, NoMedia},
          {R::NoDrive, InsertValidCard},
          {R::BackupDirMissing, BackupDirMissing},
          {R::DataDirMissing, DataDirMissing}}},
        {"Update",
         ControlId::Update,
         {{R::NotSelected, SelectDevice},
          {R::NoMediaFirstProbe, NoMedia},
          {R::NoDrive, InsertValidCard},
          {R::BackupDirMissing, BackupDirMissing},
          {R::PromptsDirMissing, PromptsDirMissing},
          {R::DataDirMissing, DataDirMissing}}},
        {"Initialize",
         ControlId::Initialize,
         {{R::NotSelected, SelectDevice},
          {R::NoMediaFirstProbe, NoMedia},
          {R::NoDrive, InsertValidCard},
          {R::BackupDirMissing, BackupDirMissing},
          {R::DataDirMissing, DataDirMissing}}},
    };
    for (const Ladder& ladder : ladders) {
        for (const auto& [rung, message] : ladder.rungs) {
            SCOPED_TRACE(std::string(ladder.operation) + ": " + message);
            Scenario s;
            SetUpRung(s, rung);
            const Tree local = Snapshot(s, 'C');
            const Tree card = Snapshot(s, 'E');
            s.click(ladder.button);
            EXPECT_EQ(s.messages(), Texts{message});
            EXPECT_TRUE(s.ui().FileDialogs().empty());
            EXPECT_TRUE(s.ui().Formats().empty());
            EXPECT_EQ(s.ui().WaitCursorBegins(), 0);
            EXPECT_EQ(Difference(local, Snapshot(s, 'C')), "");
            EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
        }
    }
}
