// A damaged or foreign archive never changes a card: Restore, Prompt update and Initialize read
// it whole first, every byte against its integrity record, and refuse it with one message,
// before any question. A file that changes after its check ends the operation without its
// completion message. An archive that cannot fit is refused with the card-full message before
// the card's prompts are deleted.
#include "OperationTestSupport.h"
#include "tests/support/ArchiveLayout.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace fktest;
using namespace optest;
using namespace test;

namespace {

const std::string Good = std::string(BackupDir) + "good.vhb";

std::string Damaged(const std::string& path) {
    return "The file " + path +
           " is damaged or is not a VoxHarbor greeting & data file.  The VoxHarbor card has not been "
           "changed.";
}

std::string Str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// The messages shown since `before` of them had been shown.
Texts Since(Scenario& s, std::size_t before) {
    const Texts all = s.messages();
    return Texts(all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end());
}

// The offset of a block of a file's data with whole data blocks before and after it (the file
// goes on for two more blocks) that differs from the next one: where changes touch data only.
std::size_t InnerDataBlock(const std::string& a) {
    const auto header = [&](std::size_t at) { return a[at + 1] == ':' && a[at + 2] == '\\'; };
    for (std::size_t at = 3 * Block; at + 3 * Block <= a.size(); at += Block) {
        if (!header(at - Block) && !header(at) && !header(at + Block) && !header(at + 2 * Block) &&
            a.compare(at, Block, a, at + Block, Block) != 0 && a.compare(at, 8, a, at + 8, 8) != 0) {
            return at;
        }
    }
    ADD_FAILURE() << "no inner data block";
    return 2 * Block;
}

// The started scenario's card E: filled like the demo card, with a large message of bigFile
// bytes, selected and backed up into Good; the archive's bytes.
std::string BackUpDemoCard(Scenario& s, std::size_t bigFile) {
    FillDemoCard(s, 'E');
    s.card('E').file("VM\\MSG\\100\\BIG.VOX", Audio(3, bigFile));
    s.selectCard(0);
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Backup);
    EXPECT_EQ(s.messages(), Texts{"Backup Complete."});
    return s.readFile(Good).value_or("");
}

void FillCardLeaving(Scenario& s, char letter, std::uint64_t bytes) {
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(
        s.pc().Drives().GetDiskFreeSpace(std::string(1, letter) + ":\\", &spc, &bps, &freeClusters, &total));
    std::string error;
    ASSERT_TRUE(
        platform::SimFill(s.folder(), letter, std::uint64_t{freeClusters} * spc * bps - bytes, &error))
        << error;
    s.pc().Refresh();
}

} // namespace

TEST(DamagedArchive, RestoreRefusesItBeforeAnyQuestionAndTheCardStaysAsItWas) {
    Scenario s;
    s.start();
    const std::string good = BackUpDemoCard(s, 60000);
    // The card's prompts move on, so that every archive accepted would ask about them.
    s.writeFile("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT", "0120\r\n");
    s.selectCard(0);

    std::size_t lastHeader = 0;
    for (std::size_t at = 2048; at + 1024 <= good.size(); at += 1024) {
        lastHeader = good[at + 1] == ':' && good[at + 2] == '\\' ? at : lastHeader;
    }
    std::mt19937 random(5);
    std::string noise(3072, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    ArchiveBuilder hostile("1.10");
    hostile.Directory(R"(E:\\VM\)").File(R"(E:\\VM\\..\\..\ESCAPE.VOX)", "outside");
    ArchiveBuilder lying("1.10");
    lying.Directory(R"(E:\\VM\)").File(R"(E:\\VM\M.VOX)", "short");
    lying.bytes[4 * Block + 10] = 0x01; // its record claims 64 KB more than the archive holds
    ArchiveBuilder ghosted("1.10");
    ghosted.File(R"(E:\G.VOX)", "ghost");
    ghosted.bytes[2 * Block + 20 + 5] = 11; // a record of ghosted extents after the data
    // Changes only the record's checksums see: two words, two blocks of a file's data (a changed
    // byte is refused on each PC below).
    const std::size_t inner = InnerDataBlock(good);
    std::string words = good, blocks = good;
    std::swap_ranges(words.begin() + static_cast<std::ptrdiff_t>(inner),
                     words.begin() + static_cast<std::ptrdiff_t>(inner + 8),
                     words.begin() + static_cast<std::ptrdiff_t>(inner + 8));
    std::swap_ranges(blocks.begin() + static_cast<std::ptrdiff_t>(inner),
                     blocks.begin() + static_cast<std::ptrdiff_t>(inner + Block),
                     blocks.begin() + static_cast<std::ptrdiff_t>(inner + Block));

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cut after 50,000 bytes", good.substr(0, 50000)},
        {"cut at a block inside a file", good.substr(0, good.size() - 40 * Block)},
        {"cut between entries", good.substr(0, lastHeader)},
        {"cut after a header", good.substr(0, lastHeader + Block)},
        {"cut after the version block", good.substr(0, Block)},
        {"empty", ""},
        {"random bytes", noise.substr(0, 3000)},
        {"random blocks", noise},
        {"a path off the card", Str(hostile.bytes)},
        {"a record longer than the archive", Str(lying.bytes)},
        {"a record of a kind no card takes", Str(ghosted.bytes)},
        {"two words of a file swapped", words},
        {"two blocks of a file swapped", blocks},
    };
    const Tree card = Snapshot(s, 'E');
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        const std::string path = std::string(BackupDir) + "D" + std::to_string(i) + ".VHB";
        s.writeFile(path, cases[i].second);
        const std::size_t before = s.messages().size();
        const std::size_t progress = s.ui().ProgressEvents().size();
        s.answerFile(ChoosePath(path));
        s.click(ControlId::Restore);

        EXPECT_EQ(Since(s, before), Texts{Damaged(path)});
        EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
        EXPECT_EQ(s.ui().ProgressEvents().size(), progress);
        EXPECT_EQ(s.statusBar(0), "Ready");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    }
    EXPECT_FALSE(s.exists("C:\\ZEL\\ESCAPE.VOX"));

    // An archive that cannot be read to its end is no damaged one: the message says which it is.
    s.setCallFault([](platform::FileCall call, std::string_view path) -> DWORD {
        return call == platform::FileCall::Read && path.ends_with("good.vhb") ? ERROR_READ_FAULT : 0;
    });
    std::size_t before = s.messages().size();
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Restore);
    s.setCallFault({});
    EXPECT_EQ(Since(s, before),
              Texts{"The file " + Good +
                    " could not be read (error 30).  The VoxHarbor card has not been changed."});
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");

    // The whole backup is accepted: it asks about the prompts, and Cancel leaves the card alone.
    before = s.messages().size();
    s.answerMessage(IDCANCEL);
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Restore);
    EXPECT_EQ(Since(s, before), Texts{Question("1.10\r", "1.20\r")});
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
}

class DamagedArchiveOn : public OnEachPc {};
FK_ON_EACH_PC(DamagedArchiveOn);

// On the real card stack as on the simulated PC: a backup with one changed byte of a file's data
// is refused whole, and the card keeps what it holds now.
TEST_P(DamagedArchiveOn, AChangedByteOfAFileIsRefusedBeforeAnyChange) {
    const auto scenario = NewScenario();
    Scenario& s = *scenario;
    s.start();
    std::string flipped = BackUpDemoCard(s, 60000);
    ASSERT_GT(flipped.size(), 60000u);
    flipped[InnerDataBlock(flipped) + 100] ^= 0x20;
    s.writeFile(Good, flipped);
    s.writeFile("E:\\VM\\MSG\\100\\BIG.VOX", "recorded since the backup");
    const Tree card = Snapshot(s, 'E');
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Restore);
    EXPECT_EQ(Since(s, 1), Texts{Damaged(Good)});
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    EXPECT_EQ(s.statusBar(0), "Ready");
}

// A backup of a card that holds nothing but prompts: an update's archive with its record.
std::string RecordedPrompts() {
    Scenario s;
    s.card('E').prompts("0120").file("VM\\PROMPTS\\0\\0\\P001.WAV", Audio(1, 30000));
    s.start();
    s.selectCard(0);
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Backup);
    EXPECT_EQ(s.messages(), Texts{"Backup Complete."});
    return s.readFile(Good).value_or("");
}

TEST(DamagedArchive, PromptUpdateAndInitializeRefuseItBeforeTheFirstChange) {
    std::string flipped = RecordedPrompts();
    ASSERT_GT(flipped.size(), 20 * Block);
    flipped[InnerDataBlock(flipped) + 100] ^= 0x01; // inside the prompt's data
    Scenario s;
    s.card('E').prompts("0110").file("VM\\MSG\\M0001.VOX", "message");
    s.localFile("ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp", flipped);
    s.localFile("ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb", flipped.substr(0, 5000));
    s.start();
    s.selectCard(0);
    const Tree card = Snapshot(s, 'E');

    s.answerFile(ChoosePath(PromptArchive));
    s.click(ControlId::Update);
    s.click(ControlId::Initialize);

    EXPECT_EQ(s.messages(), (Texts{Damaged(PromptArchive),
                                   Damaged("C:\\ZEL\\Voxharbor\\Data\\InitializedFileStruct.vhb")}));
    EXPECT_TRUE(s.ui().Formats().empty());
    EXPECT_TRUE(s.ui().ProgressEvents().empty());
    EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
}

// The archive is read again as it is restored: a file that changed after its check ends the
// restore without its completion message, and the card does not show the archive's prompts.
TEST(DamagedArchive, AFileChangedAfterItsCheckEndsTheRestoreWithoutCompletion) {
    Scenario s;
    s.start();
    ASSERT_GT(BackUpDemoCard(s, 600000).size(), 600000u); // more than one read of the archive
    s.writeFile("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT", "0120\r\n");
    s.selectCard(0);
    const std::string host = s.pc().DriveFolder('C') + "/ZEL/VoxHarbor/Backup/good.vhb";
    const auto size = static_cast<std::streamoff>(std::filesystem::file_size(host));
    // Once the card is being written, something else changes the archive's last blocks.
    s.setCallFault([&, done = false](platform::FileCall call, std::string_view path) mutable -> DWORD {
        if (call == platform::FileCall::BackupWrite && path.starts_with("E:") && !done) {
            done = true;
            std::fstream file(host, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(size - 2000);
            file.put('!');
        }
        return 0;
    });
    const std::size_t before = s.messages().size();
    s.answerMessage(IDYES);
    s.answerFile(ChoosePath(Good));
    s.click(ControlId::Restore);
    s.setCallFault({});
    EXPECT_EQ(Since(s, before),
              (Texts{Question("1.10\r", "1.20\r"), "The archive file changed while it was being read.  The "
                                                   "VoxHarbor card may hold only part of it."}));
    EXPECT_FALSE(s.exists("E:\\VM\\PROMPTS\\0\\0\\0\\VERSION.TXT"));
    EXPECT_EQ(s.statusBar(0), "Ready");
}

// Files smaller than a cluster take a cluster each: many of them are refused on a card with room
// for their bytes but not for their clusters, before anything is asked or written.
TEST(CardRoom, ManySmallFilesAreCountedInClusters) {
    ArchiveBuilder restore("1.10");
    ArchiveBuilder update("1.10");
    restore.Prompts("E:\\", "0110", "p").Directory(R"(E:\\VM\\MSG\)");
    update.Prompts("E:\\", "0110", "p");
    for (int i = 0; i < 40; ++i) {
        restore.File(R"(E:\\VM\\MSG\M)" + std::to_string(i) + ".VOX", std::string(100, 'm'));
        update.File(R"(E:\\VM\\PROMPTS\\0\\0\Q)" + std::to_string(i) + ".WAV", std::string(100, 'q'));
    }
    for (const bool updating : {false, true}) {
        SCOPED_TRACE(updating ? "Update" : "Restore");
        Scenario s;
        s.card('E').prompts("0110");
        s.localFile("ZEL\\VoxHarbor\\Backup\\small.vhb", Str(restore.bytes));
        s.localFile("ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp", Str(update.bytes));
        s.start();
        s.selectCard(0);
        DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
        ASSERT_TRUE(s.pc().Drives().GetDiskFreeSpace("E:\\", &spc, &bps, &freeClusters, &total));
        FillCardLeaving(s, 'E', 20 * std::uint64_t{spc} * bps); // 4,000 bytes of data fit, 40 clusters do not
        const Tree card = Snapshot(s, 'E');
        s.answerFile(
            ChoosePath(updating ? std::string(PromptArchive) : std::string(BackupDir) + "small.vhb"));
        s.click(updating ? ControlId::Update : ControlId::Restore);
        EXPECT_EQ(s.messages(), Texts{CardFull});
        EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
        EXPECT_TRUE(s.ui().ProgressEvents().empty());
    }
}

TEST(CardRoom, ARestoreIsRefusedBeforeThePromptsGoUnlessWhatItReplacesMakesRoom) {
    // The archive's message is 200,000 bytes; the card has 100 KB free beside its own message.
    ArchiveBuilder b("1.20");
    b.Prompts("E:\\", "0120\n", "new prompt")
        .Directory(R"(E:\\VM\\MSG\)")
        .File(R"(E:\\VM\\MSG\M0001.VOX)", std::string(200000, 'n'));
    for (std::size_t oldMessage : {std::size_t{10}, std::size_t{200000}}) {
        SCOPED_TRACE("the card's message has " + std::to_string(oldMessage) + " bytes");
        Scenario s;
        s.card('E').prompts("0110").file("VM\\MSG\\M0001.VOX", std::string(oldMessage, 'o'));
        s.localFile("ZEL\\VoxHarbor\\Backup\\big.vhb", Str(b.bytes));
        s.start();
        s.selectCard(0);
        FillCardLeaving(s, 'E', 100 * 1024);
        const Tree card = Snapshot(s, 'E');
        s.answerMessage(IDYES);
        s.answerFile(ChoosePath(std::string(BackupDir) + "big.vhb"));
        s.click(ControlId::Restore);

        if (oldMessage < 200000) {
            EXPECT_EQ(s.messages(), (Texts{Question("1.20", "1.10"), CardFull}));
            EXPECT_EQ(Difference(card, Snapshot(s, 'E')), "");
            EXPECT_TRUE(s.ui().ProgressEvents().empty());
        } else {
            // Replacing the card's message frees what the archive's needs.
            EXPECT_EQ(s.messages(), (Texts{Question("1.20", "1.10"), "Restore Complete."}));
            EXPECT_EQ(s.readFile("E:\\VM\\MSG\\M0001.VOX"), std::string(200000, 'n'));
        }
        EXPECT_EQ(s.statusBar(0), "Ready");
        EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    }
}
