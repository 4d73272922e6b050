// Backup: the checks, the save dialog, the archive's bytes, the progress bar, and that a backup
// which fails (or does not read back as it was written) never costs the earlier archive of the
// same name.
#include "OperationTestSupport.h"
#include "platform/common/ForwardingFileSystem.h"
#include "tests/support/ArchiveLayout.h"
#include "tests/support/ScenarioPc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

const std::string Target = std::string(BackupDir) + "card.vhb";
const std::string OldArchive(3000, 'o');
constexpr const char* Complete = "Backup Complete.";

void BackUp(Scenario& s, const std::string& path = Target) {
    s.answerFile(ChoosePath(path));
    s.click(ControlId::Backup);
}

// After a backup that failed: the earlier archive as it was, no temporary file, the bars back
// to normal.
void ExpectEarlierArchiveKept(Scenario& s) {
    EXPECT_EQ(s.readFile(Target), OldArchive);
    EXPECT_FALSE(s.exists(Target + ".tmp"));
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.statusBar(1), "");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
}

} // namespace

TEST(BackupChecks, AMissingBackupFolderAloneStillOffersTheSaveDialog) {
    Scenario s;
    s.start();
    s.selectCard(0);
    ASSERT_EQ(s.pc().Files().DeleteTree("C:\\ZEL\\VoxHarbor\\Backup"), 0u);
    s.answerFile(CancelFileDialog());
    s.click(ControlId::Backup);

    ASSERT_EQ(s.ui().FileDialogs().size(), 1u);
    const ShownFileDialog& shown = s.ui().FileDialogs()[0];
    EXPECT_TRUE(shown.save);
    EXPECT_EQ(shown.request.filterDescription, "VoxHarbor Greeting & Data Files (*.vhb)");
    EXPECT_EQ(shown.request.filterPattern, "*.vhb");
    EXPECT_EQ(shown.request.initialDir, "C:\\ZEL\\Voxharbor\\Backup\\");
    EXPECT_EQ(shown.request.fileName, "*.vhb");
    EXPECT_EQ(shown.request.defaultExt, "vhb");
    EXPECT_EQ(shown.request.flags, OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT);
    // Cancelled: silent, nothing written, the cursor untouched.
    EXPECT_EQ(s.messages(), Texts{});
    EXPECT_EQ(s.ui().WaitCursorBegins(), 0);
    EXPECT_FALSE(s.exists("C:\\ZEL\\VoxHarbor\\Backup"));
}

TEST(Backup, TheVersionBlockHoldsTheFirstSixCharactersOfThePromptVersion) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0110\n", "1.10"},
        {"0110\r\n", "1.10\r"},
        {"0123456\n", "1.2345"}, // 1.23456 is cut to six characters, with no terminator
        {"", ""},                // an empty card: the zero version block is the whole archive
    };
    for (const auto& [versionFile, stored] : cases) {
        SCOPED_TRACE(stored);
        Scenario s;
        if (!versionFile.empty()) {
            s.card('E').prompts(versionFile);
        }
        s.start();
        s.selectCard(0);
        BackUp(s);
        EXPECT_EQ(s.messages(), Texts{Complete});
        const std::optional<std::string> archive = s.readFile(Target);
        ASSERT_TRUE(archive.has_value());
        std::string expected(Block, '\0');
        expected.replace(0, stored.size(), stored);
        // The version block, then the integrity record; an empty card gives nothing more.
        ASSERT_GE(archive->size(), 2 * Block);
        EXPECT_EQ(archive->substr(0, Block), expected);
        EXPECT_EQ(archive->substr(Block, 12), "VHBINTEGRITY");
        EXPECT_EQ(archive->size() % Block, 0u);
        if (versionFile.empty()) {
            EXPECT_EQ(archive->size(), 2 * Block);
        }
    }
}

TEST(Backup, ALargerExistingArchiveIsReplacedWhole) {
    Scenario s;
    s.card('E').file("ROOT.CFG", "abc");
    s.localFile("ZEL\\VoxHarbor\\Backup\\card.vhb", std::string(40 * Block, 'x'));
    s.start();
    s.selectCard(0);
    BackUp(s);

    EXPECT_EQ(s.messages(), Texts{Complete});
    Bytes expected = VersionBlock("");
    const std::optional<std::string> archive = s.readFile(Target);
    ASSERT_TRUE(archive.has_value());
    // Version block, integrity record, the header of ROOT.CFG and one data block: nothing of the
    // old file is left.
    ASSERT_EQ(archive->size(), 4 * Block);
    EXPECT_EQ(archive->substr(0, Block), std::string(expected.begin(), expected.end()));
    EXPECT_EQ(archive->substr(2 * Block, 12), std::string("E:\\ROOT.CFG") + '\0');
    EXPECT_EQ(archive->substr(3 * Block + 20, 3), "abc");
    EXPECT_FALSE(s.exists(Target + ".tmp"));
}

class BackupOn : public OnEachPc {};
FK_ON_EACH_PC(BackupOn);

TEST_P(BackupOn, TheStatusBarShowsEachPathAndEndsReady) {
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.card('E').prompts("0110\n").file("VM\\MSG\\100\\M0001.VOX", "message");
    s.card('E').file("VM\\MSG\\100\\M0002.VOX", Audio(1, 300000));
    s.start();
    s.selectCard(0);
    s.ui().ClearStatusHistory();
    BackUp(s);

    EXPECT_EQ(s.messages(), Texts{Complete});
    const Texts& state = s.statusHistory(0);
    ASSERT_GE(state.size(), 2u);
    EXPECT_NE(std::find(state.begin(), state.end(), "Backing Up Data"), state.end());
    EXPECT_EQ(state.back(), "Ready");
    const Texts& paths = s.statusHistory(1);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "E:\\\\VM\\\\MSG\\\\100\\M0001.VOX"), paths.end());
    EXPECT_EQ(s.statusBar(1), "");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    EXPECT_EQ(s.ui().WaitCursorBegins(), 1);
    const char* ownVolume = std::getenv("FK_WIN32_TEST_DRIVE_OWN_VOLUME");
    if (OnWin32() && (ownVolume == nullptr || std::string(ownVolume) != "1")) {
        // A Wine drive on a plain host folder has the whole host disk's used space, against which
        // the card's files make no step of the bar; on a volume of its own it counts as a card's.
        return;
    }
    // The progress bar counts the card's files against its used space, one step at a time.
    const std::vector<ProgressEvent>& bar = s.ui().ProgressEvents();
    ASSERT_GE(bar.size(), 3u);
    EXPECT_EQ(bar.front().kind, ProgressEvent::Kind::Created);
    EXPECT_EQ(bar.back().kind, ProgressEvent::Kind::Destroyed);
    for (std::size_t i = 1; i + 1 < bar.size(); ++i) {
        EXPECT_EQ(bar[i].position, static_cast<int>(i)) << "one step at a time";
    }
    EXPECT_GE(bar.size(), 50u) << "most of the used space is the one large file";
    EXPECT_LE(bar.size(), 102u);
}

// ------------------------------------------------------------------ failures

namespace {

// Card E with two messages selected, and an earlier archive at the target.
void PrepareFailure(Scenario& s) {
    s.card('E').prompts("0110\n");
    s.card('E').file("VM\\MSG\\100\\M0001.VOX", std::string(5000, 'a'));
    s.card('E').file("VM\\MSG\\100\\M0002.VOX", std::string(7000, 'b'));
    s.localFile("ZEL\\VoxHarbor\\Backup\\card.vhb", OldArchive);
    s.start();
    s.selectCard(0);
}

class BackupFailure : public ::testing::Test {
protected:
    void SetUp() override { PrepareFailure(s); }
    Scenario s;
};

} // namespace

// A full local disk (room for a few blocks only), an unreadable card file, and a card pulled
// once the walk reaches the messages (every later call on it finds no medium).
TEST(BackupFailures, FailingCallsLeaveTheEarlierArchive) {
    const std::string readError =
        "An error has occurred while reading the VoxHarbor card. The backup is not complete.";
    // Each hook is copied into the PC afresh, so its counters start at zero every time.
    const std::vector<std::pair<platform::FileCallFault, std::string>> cases = {
        {[writes = 0](platform::FileCall call, std::string_view path) mutable -> DWORD {
             return call == platform::FileCall::Write && path.starts_with("C:") && ++writes > 5
                        ? ERROR_DISK_FULL
                        : 0;
         },
         "The backup file could not be written because the disk is full. The backup is not complete."},
        {[](platform::FileCall call, std::string_view path) -> DWORD {
             return call == platform::FileCall::BackupRead && path.ends_with("M0002.VOX") ? ERROR_READ_FAULT
                                                                                          : 0;
         },
         readError},
        {[pulled = false](platform::FileCall, std::string_view path) mutable -> DWORD {
             pulled = pulled || path.find("M0001") != std::string_view::npos;
             return pulled && (path.starts_with("E:") || path.starts_with("e:")) ? ERROR_NOT_READY : 0;
         },
         readError},
    };
    for (const auto& [fault, message] : cases) {
        SCOPED_TRACE(message);
        Scenario s;
        PrepareFailure(s);
        s.setCallFault(fault);
        BackUp(s);
        EXPECT_EQ(s.messages(), Texts{message});
        ExpectEarlierArchiveKept(s);
    }
}

TEST_F(BackupFailure, APathTooLongForTheArchiveIsNamed) {
    const std::string name(60, 'N');
    s.card('E').file("VM\\MSG\\" + name + ".VOX", "long");
    BackUp(s);
    EXPECT_EQ(s.messages(),
              Texts{"The path E:\\VM\\MSG\\" + name +
                    ".VOX is too long to be stored in a backup file. The backup is not complete."});
    ExpectEarlierArchiveKept(s);
}

TEST_F(BackupFailure, AnArchiveThatCannotBeCreatedIsReported) {
    s.setCallFault([](platform::FileCall call, std::string_view path) -> DWORD {
        return call == platform::FileCall::Open && path.ends_with(".tmp") ? ERROR_ACCESS_DENIED : 0;
    });
    BackUp(s);
    EXPECT_EQ(s.messages(), Texts{"The backup file " + Target +
                                  " could not be created (error 5). The backup is not complete."});
    EXPECT_EQ(s.readFile(Target), OldArchive);
    EXPECT_EQ(s.ui().WaitCursorBegins(), 0);
}

TEST_F(BackupFailure, ACardGoneWhileTheSaveDialogWasOpenEndsSilentlyWithoutAFile) {
    // The reader unplugged: with G: off the PC the slot holds no drive any more.
    s.removeDrive('G');
    s.deliverDeviceChanges();
    s.answerFile(ChoosePath(Target, [this] { s.unplug('E'); }));
    s.click(ControlId::Backup);
    EXPECT_EQ(s.messages(), Texts{});
    EXPECT_EQ(s.readFile(Target), OldArchive);
    EXPECT_FALSE(s.exists(Target + ".tmp"));
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
}

TEST_F(BackupFailure, ALeftoverTemporaryFileIsReusedButAKeptBackupIsNeverTouched) {
    // What an interrupted backup leaves: the next backup of that name writes over it and puts it
    // in place, so at most one such file ever exists.
    s.writeFile(Target + ".tmp", std::string(9000, 'p'));
    BackUp(s);
    EXPECT_EQ(s.messages(), Texts{Complete});
    EXPECT_FALSE(s.exists(Target + ".tmp"));
    const std::string archive = s.readFile(Target).value_or("");
    EXPECT_EQ(archive.substr(Block, 12), "VHBINTEGRITY");
    EXPECT_EQ(archive.find(std::string(1000, 'p')), std::string::npos);

    // A whole backup that the user was told is saved under the temporary name (the archive
    // could not be replaced) stays as it is: the next backups take another name.
    s.writeFile(Target + ".tmp", archive);
    s.setCallFault([](platform::FileCall call, std::string_view) -> DWORD {
        return call == platform::FileCall::Move ? ERROR_SHARING_VIOLATION : 0;
    });
    BackUp(s);
    s.setCallFault({});
    BackUp(s);
    EXPECT_EQ(s.messages(), (Texts{Complete,
                                   "The backup file " + Target +
                                       " could not be replaced (error 32).  The backup has been saved as " +
                                       Target + ".1.tmp.",
                                   Complete}));
    EXPECT_EQ(s.readFile(Target + ".tmp"), archive);
    EXPECT_FALSE(s.exists(Target + ".2.tmp"));
}

// After it is flushed the archive is read back from the disk and checked against its own
// record: a disk that did not keep what it was given costs no earlier archive.
TEST_F(BackupFailure, AnArchiveThatDoesNotReadBackAsWrittenIsNotComplete) {
    const std::string host = s.pc().DriveFolder('C') + "/ZEL/VoxHarbor/Backup/card.vhb.tmp";
    s.setCallFault([&](platform::FileCall call, std::string_view path) -> DWORD {
        if (call == platform::FileCall::Close && path.ends_with(".tmp") && std::filesystem::exists(host)) {
            std::fstream file(host, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(-100, std::ios::end);
            file.put('!');
        }
        return 0;
    });
    BackUp(s);
    EXPECT_EQ(s.messages(),
              Texts{"The backup file did not read back as it was written. The backup is not complete."});
    ExpectEarlierArchiveKept(s);
}

// A card larger than one part of the read-back: the archive is read back while the card is still
// being read, and what goes wrong there ends the backup at once, with the earlier archive kept.
TEST(BackupFailures, AReadBackThatFailsWhileTheCardIsStillReadEndsTheBackupThere) {
    struct Case {
        const char* what;
        bool damage; // a byte of the first part changed on the disk once it is flushed, else its read fails
        std::string message;
    };
    for (const Case& c :
         {Case{"damaged", true,
               "The backup file did not read back as it was written. The backup is not complete."},
          Case{"unreadable", false,
               "An error has occurred while reading back the backup file. The backup is not complete."}}) {
        SCOPED_TRACE(c.what);
        Scenario s;
        for (int i = 1; i <= 7; ++i) {
            s.card('E').file("VM\\BIG" + std::to_string(i) + ".VOX",
                             std::string(3 * 1024 * 1024 + 100 * i, static_cast<char>('a' + i)));
        }
        PrepareFailure(s);
        const std::string host = s.pc().DriveFolder('C') + "/ZEL/VoxHarbor/Backup/card.vhb.tmp";
        int flushes = 0;
        bool lastOpened = false;
        bool failed = false;
        s.setCallFault([&](platform::FileCall call, std::string_view path) -> DWORD {
            if (call == platform::FileCall::Flush && path.ends_with(".tmp") && ++flushes == 1 && c.damage) {
                std::fstream file(host, std::ios::in | std::ios::out | std::ios::binary);
                file.seekp(5000);
                file.put('!');
                failed = true;
            }
            if (call == platform::FileCall::Read && path.ends_with(".tmp") && !c.damage) {
                failed = true;
                return ERROR_NOT_READY;
            }
            lastOpened = lastOpened || (call == platform::FileCall::Open && path.ends_with("BIG7.VOX"));
            return 0;
        });
        BackUp(s);
        s.setCallFault({});
        EXPECT_EQ(s.messages(), Texts{c.message});
        EXPECT_TRUE(failed);
        EXPECT_EQ(flushes, 1) << "the first part read back, and no more";
        // The backup stopped at the part that went wrong (read after the third file, summed while
        // the next ones are read), by the next part at the latest: the last file was never read.
        EXPECT_FALSE(lastOpened);
        ExpectEarlierArchiveKept(s);
    }
}

// The native write call may report success for fewer bytes than it was given.
TEST(BackupFailures, AWriteThatSucceedsShortIsADiskFull) {
    struct ShortWrites final : platform::ForwardingFileSystem {
        using ForwardingFileSystem::ForwardingFileSystem;
        bool on = false;
        BOOL WriteFile(platform::Handle h, const void* data, DWORD size, DWORD* written) override {
            return ForwardingFileSystem::WriteFile(h, data, on && size > 1 ? size / 2 : size, written);
        }
    };
    struct Pc final : platform::Platform {
        std::unique_ptr<platform::SimulatedPc> pc;
        ShortWrites files;
        explicit Pc(std::unique_ptr<platform::SimulatedPc> opened)
            : pc(std::move(opened)), files(pc->Files()) {}
        platform::FileSystem& Files() override { return files; }
        platform::Volumes& Drives() override { return pc->Drives(); }
        platform::DeviceWatcher& Devices() override { return pc->Devices(); }
        std::string HostPathOf(std::string_view p) override { return pc->HostPathOf(p); }
        std::string WindowsPathOf(std::string_view p) override { return pc->WindowsPathOf(p); }
    };
    Pc* made = nullptr;
    Scenario s;
    s.card('E').prompts("0110\n").file("VM\\MSG\\M0001.VOX", std::string(5000, 'a'));
    s.localFile("ZEL\\VoxHarbor\\Backup\\card.vhb", OldArchive);
    s.start(
        [&](const std::string& folder, const platform::SimPcDescription& description, std::string* error) {
            std::unique_ptr<platform::Platform> pc;
            if (auto opened = OpenScenarioSimPc(folder, description, error)) {
                pc = std::make_unique<Pc>(std::move(opened));
                made = static_cast<Pc*>(pc.get());
            }
            return pc;
        });
    ASSERT_NE(made, nullptr);
    s.selectCard(0);
    made->files.on = true;
    BackUp(s);
    EXPECT_EQ(
        s.messages(),
        Texts{"The backup file could not be written because the disk is full. The backup is not complete."});
    made->files.on = false;
    ExpectEarlierArchiveKept(s);
}

TEST_F(BackupFailure, AFileThatShrinksWhileItIsReadEndsTheBackupAsACardReadFailure) {
    // Something else writes to the card while the backup reads it: the record would claim
    // bytes the archive does not hold.
    const std::string host = s.pc().DriveFolder('E') + "/VM/MSG/100/M0002.VOX";
    s.setCallFault([host, done = false](platform::FileCall call, std::string_view path) mutable -> DWORD {
        if (call == platform::FileCall::BackupRead && path.ends_with("M0002.VOX") && !done) {
            done = true;
            std::filesystem::resize_file(host, 3000);
        }
        return 0;
    });
    BackUp(s);
    EXPECT_EQ(s.messages(),
              Texts{"An error has occurred while reading the VoxHarbor card. The backup is not complete."});
    ExpectEarlierArchiveKept(s);
}
