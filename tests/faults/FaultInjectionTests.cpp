// Fault injection: every platform call that Backup and Restore make is failed in turn through the
// per-call hook in front of the file services, on the simulated PC, on the host's file services
// over plain folders, (in the virtual PC) on the host platform with the vfat card that udisks2
// mounted, and on the Windows build on the Win32 platform over Wine's drives. Whatever fails, the technician
// must be told the truth (no completion message while data is missing), an earlier archive must survive a
// failed backup byte for byte, nothing but the card and the chosen archive may change, what a failed restore
// finished before the failure must stay on the card, and a Restore afterwards must bring the card back.
#include "archive/Archive.h"
#include "operations/OperationTexts.h"
#include "platform/memory/MemoryPc.h"
#ifndef _WIN32
#include "platform/host/HostPlatform.h"
#endif
#include "tests/support/FileTree.h"
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// Each case below builds a fresh simulated PC, some hundreds in all: on a RAM disk when the
// machine has one and the caller chose no other place.
[[maybe_unused]] const bool temporaryInMemory = [] {
    if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK) == 0) {
        return ::setenv("TMPDIR", "/dev/shm", 0) == 0;
    }
    return false;
}();
#endif

using fktest::ChoosePath;
using fktest::Scenario;
using fktest::Texts;
using platform::FileCall;

// Where a walk runs: the simulated PC; the host's file services with each described drive a
// folder and C:'s installation tree in folders of its own; the real PC of the virtual PC
// (FK_VM_READER), whose only card E: is the vfat card in its USB reader; or the Win32 PC, the
// Windows platform over Wine's C: and a removable E: (FK_WIN32_TEST_DRIVE).
enum class Where { SimulatedPc, HostFolders, VmCard, Win32Pc };

const char* PlaceName(Where where) {
    switch (where) {
    case Where::SimulatedPc:
        return "SimulatedPc";
    case Where::HostFolders:
        return "HostFolders";
    case Where::VmCard:
        return "VmCard";
    case Where::Win32Pc:
        break;
    }
    return "Win32Pc";
}

// The simulated PC and the host's file services on Linux, with the virtual PC's card when this
// runs in it; the Win32 PC on Windows, which has no simulated PC.
std::vector<Where> Places() {
#ifdef _WIN32
    return {Where::Win32Pc};
#else
    std::vector<Where> places{Where::SimulatedPc, Where::HostFolders};
    if (std::getenv("FK_VM_READER") != nullptr) {
        places.push_back(Where::VmCard);
    }
    return places;
#endif
}

// A real PC: the program's own platform over the system's drives.
bool OnRealPc(Where where) {
    return where == Where::VmCard || where == Where::Win32Pc;
}

class FaultWalk : public ::testing::TestWithParam<Where> {};

std::unique_ptr<Scenario> NewScenario(Where where) {
    if (OnRealPc(where)) {
        auto host = fktest::HostPc::FromEnvironment();
        EXPECT_NE(host, nullptr) << "no card reader for the real PC";
        return std::make_unique<Scenario>(std::move(host));
    }
    return std::make_unique<Scenario>();
}

#ifndef _WIN32
std::unique_ptr<platform::Platform>
HostFolders(const std::string& folder, const platform::SimPcDescription& description, std::string* error) {
    platform::host::HostConfig config;
    config.volumes.discover = false;
    config.useUdisks = false;
    config.dataDir = folder + "/host-data";
    config.backupDir = folder + "/host-backup";
    std::filesystem::create_directories(config.dataDir);
    for (const platform::SimDriveConfig& drive : description.drives) {
        if (drive.letter == 'C') {
            continue;
        }
        const std::string hostFolder = folder + "/host-" + drive.letter;
        std::filesystem::create_directories(hostFolder);
        const UINT type = drive.type == platform::SimDriveType::Removable ? DRIVE_REMOVABLE
                          : drive.type == platform::SimDriveType::Cdrom   ? DRIVE_CDROM
                                                                          : DRIVE_FIXED;
        config.volumes.folderDrives.push_back({drive.letter, hostFolder, type, drive.media, drive.label});
    }
    return platform::host::CreateHostPlatform(config, nullptr, error);
}
#endif

void Start(Scenario& s, Where where) {
#ifndef _WIN32
    if (where == Where::HostFolders) {
        s.start(HostFolders);
        return;
    }
#endif
    (void)where;
    s.start();
}

constexpr const char* Target = "C:\\ZEL\\VoxHarbor\\Backup\\CARD.VHB";
constexpr const char* BackupDir = "C:\\ZEL\\VoxHarbor\\Backup\\";

const char* CallName(FileCall call) {
    static const char* const names[] = {
        "open",           "read",      "write",          "close",     "backup read",      "backup write",
        "set attributes", "set times", "get attributes", "get times", "create directory", "find first",
        "find next",      "delete",    "move",           "flush"};
    return names[static_cast<int>(call)];
}

// The error a failing call reports: what a card reader or disk would say for that kind of call.
DWORD TypicalError(FileCall call) {
    switch (call) {
    case FileCall::Open:
        return ERROR_ACCESS_DENIED;
    case FileCall::Read:
    case FileCall::BackupRead:
    case FileCall::GetAttributes:
    case FileCall::GetTimes:
    case FileCall::FindFirst:
    case FileCall::FindNext:
        return ERROR_READ_FAULT;
    default:
        return ERROR_WRITE_FAULT;
    }
}

struct Call {
    FileCall call;
    std::string path;
};

// Records every hooked call and fails the one at failAt (none when negative).
struct CallScript {
    std::vector<Call> calls;
    int failAt = -1;
    DWORD error = 0;

    platform::FileCallFault Hook() {
        return [this](FileCall call, std::string_view path) -> DWORD {
            const int index = static_cast<int>(calls.size());
            calls.push_back({call, std::string(path)});
            return index == failAt ? error : ERROR_SUCCESS;
        };
    }
};

std::string Pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    }
    return s;
}

// The card's files below its root; a big one crosses several buffer sizes, one fills its
// blocks exactly, one is empty.
const std::map<std::string, std::string>& CardFiles() {
    static const std::map<std::string, std::string> files = [] {
        std::map<std::string, std::string> f;
        for (int slot = 0; slot < 4; ++slot) {
            f["VM\\PROMPTS\\0\\" + std::to_string(slot) + "\\0\\VERSION.TXT"] = "0110\r\n";
        }
        f["VM\\PROMPTS\\0\\0\\0\\P001.WAV"] = Pattern(5000, 1);
        f["VM\\MSG\\M0001.WAV"] = Pattern(300000, 2);
        f["VM\\MSG\\M0002.WAV"] = "";
        f["VM\\GREET\\G0001.WAV"] = Pattern(3000, 3);
        f["NOTES.TXT"] = Pattern(1024, 4);
        return f;
    }();
    return files;
}

// Every folder that holds a card file (the folders of the card, none of them empty).
std::set<std::string> CardDirectories() {
    std::set<std::string> dirs;
    for (const auto& [path, content] : CardFiles()) {
        for (std::size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', pos + 1)) {
            dirs.insert(path.substr(0, pos));
        }
    }
    return dirs;
}

bool UnderPrompts(const std::string& path) {
    return path.rfind("VM\\PROMPTS", 0) == 0;
}

void SetUpCard(Scenario& s) {
    for (const auto& [path, content] : CardFiles()) {
        s.card('E').file(path, content);
    }
}

std::string Collapse(std::string path) {
    // "E:\\VM\\MSG\X" -> "VM\MSG\X", without the root and with single separators.
    path.erase(0, 3);
    std::string out;
    for (char c : path) {
        if (!(c == '\\' && (out.empty() || out.back() == '\\'))) {
            out.push_back(c);
        }
    }
    if (!out.empty() && out.back() == '\\') {
        out.pop_back();
    }
    return out;
}

// A drive's tree (root "X:\\") as the walk compares it: access times move whenever a file is read.
fktest::Tree Settled(Scenario& s, const std::string& root) {
    fktest::Tree tree = fktest::SnapshotTree(s.platform().Files(), root);
    for (auto& [path, entry] : tree) {
        entry.lastAccess = FILETIME{};
    }
    return tree;
}

// What of CardFiles() and CardDirectories() a drive's tree lacks (a file whose content differs
// counts as missing); without prompts, those below VM\PROMPTS are not asked for.
std::string Missing(const fktest::Tree& got, bool withPrompts = true) {
    std::string missing;
    for (const auto& [path, content] : CardFiles()) {
        const auto it = got.find(path);
        if ((withPrompts || !UnderPrompts(path)) && (it == got.end() || it->second.content != content)) {
            missing += path + " ";
        }
    }
    for (const std::string& dir : CardDirectories()) {
        const auto it = got.find(dir);
        if ((withPrompts || !UnderPrompts(dir)) &&
            (it == got.end() || !(it->second.attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            missing += dir + "\\ ";
        }
    }
    return missing;
}

// The archive at path as a card holds it once it is extracted: onto an empty card of a PC in
// memory, so that the check reads what the file holds the same way on every place.
fktest::Tree Restored(Scenario& s, const std::string& path) {
    const std::optional<std::string> bytes = s.readFile(path);
    EXPECT_TRUE(bytes.has_value()) << path;
    platform::MemoryDriveConfig local, card;
    local.letter = 'C';
    local.type = DRIVE_FIXED;
    card.letter = 'H';
    const std::unique_ptr<platform::MemoryPc> pc = platform::CreateMemoryPc({local, card});
    platform::FileSystem& fs = pc->Files();
    platform::Handle h = fs.CreateFile("C:\\A.VHB", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    DWORD written = 0;
    const std::string data = bytes.value_or("");
    EXPECT_TRUE(fs.WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written));
    fs.CloseHandle(h);
    h = fs.CreateFile("C:\\A.VHB", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    const archive::ExtractResult stats = archive::ExtractArchive(fs, h, data.size(), "H:\\", "", false, {});
    EXPECT_TRUE(stats.completed);
    fs.CloseHandle(h);
    EXPECT_EQ(stats.filesIncomplete + stats.entriesDamaged + stats.entriesRefused, 0u);
    fktest::Tree tree = fktest::SnapshotTree(fs, "H:\\");
    for (auto& [name, entry] : tree) {
        entry.lastAccess = FILETIME{};
    }
    return tree;
}

std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) {
        out += (out.empty() ? "" : ", ") + s;
    }
    return out;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Names in the local backup folder.
std::set<std::string> BackupFolderNames(Scenario& s) {
    std::set<std::string> names;
    for (const auto& [name, entry] : fktest::SnapshotTree(s.platform().Files(), BackupDir)) {
        names.insert(name);
    }
    return names;
}

// The local installation tree, without the archive a backup writes (and what it may leave beside).
fktest::Tree LocalTree(Scenario& s, bool withArchive) {
    fktest::Tree tree = Settled(s, "C:\\ZEL\\VoxHarbor\\");
    if (!withArchive) {
        std::erase_if(tree, [](const auto& entry) { return entry.first.rfind("Backup\\CARD.VHB", 0) == 0; });
        tree["Backup"].lastWrite = FILETIME{}; // the archive is written in there
#ifdef _WIN32
        // Wine keeps no creation time: it shows a folder's status-change time, which its writes move.
        tree["Backup"].creation = FILETIME{};
#endif
    }
    return tree;
}

// Which calls of a clean run a walk fails: every call, except on the virtual PC, where software
// emulation makes a run take one to three seconds: there every call of the first 4 and the last
// 2, every 40th, and the first of each kind.
bool Walks(Where where, const std::vector<Call>& calls, std::size_t i) {
    if (where != Where::VmCard || i < 4 || i + 2 >= calls.size() || i % 40 == 0) {
        return true;
    }
    return std::none_of(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(i),
                        [&](const Call& c) { return c.call == calls[i].call; });
}

// Runs run(index, call) failing each walked call of a clean run in turn, and prints how many were
// failed; stops at the first failing case, since it says enough. Returns the kinds of call
// walked through.
template <typename Run>
std::set<FileCall> FailEachCall(const char* operation, Where where, const std::vector<Call>& calls, Run run) {
    std::set<FileCall> seen;
    int failed = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (!Walks(where, calls, i)) {
            continue;
        }
        seen.insert(calls[i].call);
        ++failed;
        SCOPED_TRACE(std::string("failing call ") + std::to_string(i) + ": " + CallName(calls[i].call) + " " +
                     calls[i].path);
        run(static_cast<int>(i), calls[i].call);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
    std::printf("[   WALK   ] %s on %s: %d of %d calls failed\n", operation, PlaceName(where), failed,
                static_cast<int>(calls.size()));
    return seen;
}

// ---------------------------------------------------------------- Backup

const std::string& EarlierArchive() {
    static const std::string bytes = Pattern(5 * 1024, 9);
    return bytes;
}

struct BackupRun {
    std::vector<Call> calls;
    Texts messages;
    std::string archive; // what the chosen file holds afterwards
};

// A backup of card E: over an existing archive of the same name, with call failAt failing.
BackupRun RunBackup(Where where, int failAt, DWORD error) {
    BackupRun run;
    const std::unique_ptr<Scenario> owned = NewScenario(where);
    Scenario& s = *owned;
    SetUpCard(s);
    s.localFile("ZEL\\VoxHarbor\\Backup\\CARD.VHB", EarlierArchive());
    Start(s, where);
    s.selectCard(0);
    const std::size_t before = s.messages().size();
    const fktest::Tree card = Settled(s, "E:\\");
    const fktest::Tree local = LocalTree(s, false);

    CallScript script;
    script.failAt = failAt;
    script.error = error;
    s.setCallFault(script.Hook());
    s.answerFile(ChoosePath(Target));
    s.click(ControlId::Backup);
    s.setCallFault({});
    run.calls = script.calls;
    const Texts all = s.messages();
    run.messages.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(fktest::Difference(card, Settled(s, "E:\\")), "") << "a backup changes nothing on the card";
    EXPECT_EQ(fktest::Difference(local, LocalTree(s, false)), "") << "nor anything local but the archive";

    EXPECT_EQ(run.messages.size(), 1u) << "one message ends a backup: " << Join(run.messages);
    const std::string message = run.messages.empty() ? std::string() : run.messages.back();
    const auto archive = s.readFile(Target);
    run.archive = archive.value_or("");
    const bool keptAside = Contains(message, "has been saved as " + std::string(Target) + ".tmp");
    // A write, the flush or the close of the archive being written that fails is a failed write,
    // whatever reading it back would say (the close of the handle that reads it back loses nothing).
    const Call* failed =
        failAt >= 0 && failAt < static_cast<int>(run.calls.size()) ? &run.calls[failAt] : nullptr;
    const bool archiveWrite =
        failed != nullptr && failed->path.ends_with(".tmp") &&
        (failed->call == FileCall::Write || failed->call == FileCall::Flush ||
         (failed->call == FileCall::Close &&
          std::none_of(run.calls.begin(), run.calls.begin() + failAt,
                       [&](const Call& c) { return c.call == FileCall::Close && c.path == failed->path; })));
    if (archiveWrite) {
        EXPECT_EQ(message,
                  error == ERROR_DISK_FULL
                      ? "The backup file could not be written because the disk is full. The backup is not "
                        "complete."
                      : "An error has occurred while writing the backup file. The backup is not complete.");
    }
    if (message == operations::BackupCompleteMessage) {
        // Complete means complete: every folder and file of the card, with its data.
        EXPECT_EQ(Missing(Restored(s, Target)), "") << "\"Backup Complete.\" but the archive misses them";
    } else if (keptAside) {
        // Only the final rename failed: the whole backup is where the message says.
        EXPECT_EQ(message, "The backup file " + std::string(Target) + " could not be replaced (error " +
                               std::to_string(error) + ").  The backup has been saved as " + Target +
                               ".tmp.");
        EXPECT_EQ(archive, EarlierArchive());
        EXPECT_EQ(Missing(Restored(s, std::string(Target) + ".tmp")), "");
    } else {
        EXPECT_TRUE(Contains(message, "not complete") || Contains(message, "not made") ||
                    message == operations::NoMediaMessage)
            << "a failed backup says so: " << message;
        EXPECT_EQ(archive, EarlierArchive()) << "the earlier archive survives byte for byte";
    }
    // Nothing half-written is left beside it, unless the message names it.
    const std::set<std::string> names = BackupFolderNames(s);
    if (keptAside) {
        EXPECT_EQ(names, (std::set<std::string>{"CARD.VHB", "CARD.VHB.tmp"}));
    } else if (!Contains(message, "could not be removed")) {
        EXPECT_EQ(names, std::set<std::string>{"CARD.VHB"});
    }
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_EQ(s.statusBar(1), "");
    return run;
}

TEST_P(FaultWalk, EveryFailingBackupCallIsReportedAndKeepsTheEarlierArchive) {
    const Where where = GetParam();
    const BackupRun clean = RunBackup(where, -1, 0);
    ASSERT_EQ(clean.messages, Texts{operations::BackupCompleteMessage});
    const std::set<FileCall> seen = FailEachCall("Backup", where, clean.calls, [where](int i, FileCall call) {
        RunBackup(where, i, TypicalError(call));
        // A full disk takes the same paths on every place; the virtual PC's time goes to the others.
        if (call == FileCall::Write && where != Where::VmCard) {
            RunBackup(where, i, ERROR_DISK_FULL);
        }
    });
    // The walk really went through the calls this test is about.
    for (FileCall call : {FileCall::Open, FileCall::Read, FileCall::Write, FileCall::Close,
                          FileCall::BackupRead, FileCall::GetAttributes, FileCall::GetTimes,
                          FileCall::FindFirst, FileCall::FindNext, FileCall::Move, FileCall::Flush}) {
        EXPECT_EQ(seen.count(call), 1u) << CallName(call);
    }
}

// ---------------------------------------------------------------- Restore

struct RestoreRun {
    std::vector<Call> calls;
    Texts messages;
    bool asked = false; // the prompt question was asked
};

// A backup of the card (archive) restored onto the empty card E:, with call failAt failing; the
// prompt question is answered with answer (Yes: the archive's prompts too, No: the card keeps its
// own).
RestoreRun RunRestore(Where where, const std::string& archive, int failAt, DWORD error,
                      const std::vector<Call>* cleanCalls, int answer = IDYES) {
    RestoreRun run;
    const std::unique_ptr<Scenario> owned = NewScenario(where);
    Scenario& s = *owned;
    const std::string root = "E:\\";
    s.localFile("ZEL\\VoxHarbor\\Backup\\CARD.VHB", archive);
    Start(s, where);
    s.selectCard(0);
    const fktest::Tree local = LocalTree(s, true);
    std::size_t before = s.messages().size();

    CallScript script;
    script.failAt = failAt;
    script.error = error;
    s.setCallFault(script.Hook());
    s.answerFile(ChoosePath(Target));
    s.answerMessage(answer);
    s.click(ControlId::Restore);
    s.setCallFault({});
    run.calls = script.calls;
    // The messages since before, the prompt question apart; whether it was asked.
    const auto shownSince = [&s](std::size_t from, Texts* texts) {
        bool asked = false;
        const auto& shown = s.ui().Messages();
        for (std::size_t i = from; i < shown.size(); ++i) {
            if (shown[i].buttons == MB_YESNOCANCEL) {
                asked = true;
            } else {
                texts->push_back(shown[i].text);
            }
        }
        return asked;
    };
    run.asked = shownSince(before, &run.messages);
    EXPECT_EQ(fktest::Difference(local, LocalTree(s, true)), "") << "a restore changes nothing local";

    const bool complete = !run.messages.empty() && run.messages.back() == operations::RestoreCompleteMessage;
    if (complete) {
        EXPECT_EQ(run.messages.size(), 1u) << Join(run.messages);
        // Unless Yes was answered the card keeps its own (no) prompts: everything else is there.
        EXPECT_EQ(Missing(Settled(s, "E:\\"), run.asked && answer == IDYES), "")
            << "\"Restore Complete.\" but the card misses them";
    } else {
        EXPECT_FALSE(run.messages.empty()) << "a restore that stopped says so";
        for (const std::string& m : run.messages) {
            EXPECT_NE(m, operations::RestoreCompleteMessage);
        }
        // Every file whose restore had finished (closed) before the failing call is still whole.
        if (cleanCalls != nullptr && failAt >= 0) {
            for (int i = 0; i < failAt && i < static_cast<int>(cleanCalls->size()); ++i) {
                const Call& c = (*cleanCalls)[static_cast<std::size_t>(i)];
                if (c.call != FileCall::Close || c.path.rfind(root, 0) != 0) {
                    continue;
                }
                const std::string rel = Collapse(c.path);
                auto it = CardFiles().find(rel);
                if (it != CardFiles().end()) {
                    EXPECT_EQ(s.readFile(root + rel), it->second)
                        << rel << " was restored before the failure";
                }
            }
        }
    }
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_FALSE(s.ui().ProgressBarExists());
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);

    if (failAt >= 0 && !complete) {
        // A Restore without faults brings the card back: all of it when it asks about the prompts
        // (answered Yes); when the card already shows the archive's version it keeps its prompts.
        before = s.messages().size();
        s.answerFile(ChoosePath(Target));
        s.answerMessage(IDYES);
        s.click(ControlId::Restore);
        Texts repair;
        const bool asked = shownSince(before, &repair);
        EXPECT_EQ(repair, Texts{operations::RestoreCompleteMessage}) << "the Restore after the failure";
        EXPECT_EQ(Missing(Settled(s, "E:\\"), asked), "") << "the Restore after the failure left them out";
    }
    return run;
}

// With Yes the archive's prompts are restored too; with No the extraction leaves the card's alone.
TEST_P(FaultWalk, EveryFailingRestoreCallIsReportedAndKeepsWhatWasRestored) {
    const Where where = GetParam();
    const std::string archive = RunBackup(where, -1, 0).archive;
    for (const int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer == IDYES ? "restoring the prompts" : "keeping the card's prompts");
        const RestoreRun clean = RunRestore(where, archive, -1, 0, nullptr, answer);
        ASSERT_EQ(clean.messages, Texts{operations::RestoreCompleteMessage});
        ASSERT_TRUE(clean.asked);
        const char* operation = answer == IDYES ? "Restore (Yes)" : "Restore (No)";
        const std::set<FileCall> seen =
            FailEachCall(operation, where, clean.calls, [&](int i, FileCall call) {
                RunRestore(where, archive, i, TypicalError(call), &clean.calls, answer);
                if (answer == IDYES && where != Where::VmCard &&
                    (call == FileCall::BackupWrite || call == FileCall::CreateDirectory)) {
                    RunRestore(where, archive, i, ERROR_DISK_FULL, &clean.calls, answer);
                }
            });
        for (FileCall call : {FileCall::Open, FileCall::Read, FileCall::Close, FileCall::BackupWrite,
                              FileCall::SetAttributes, FileCall::SetTimes, FileCall::CreateDirectory}) {
            EXPECT_EQ(seen.count(call), 1u) << CallName(call);
        }
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(On, FaultWalk, ::testing::ValuesIn(Places()),
                         [](const ::testing::TestParamInfo<Where>& info) { return PlaceName(info.param); });

} // namespace
