// Fault injection: every platform call that Backup and Restore make is failed in turn through the
// per-call hook in front of the file services, on the simulated PC and on the host's file services
// over plain folders. Whatever fails, the technician must be told the truth (no
// completion message while data is missing), an earlier archive must survive a failed backup
// byte for byte, and what a failed restore finished before the failure must stay on the card.
#include "archive/Archive.h"
#include "operations/OperationTexts.h"
#ifndef _WIN32
#include "platform/host/HostPlatform.h"
#endif
#include "tests/support/FileTree.h"
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <unistd.h>

namespace {

// Each case below builds a fresh simulated PC, some hundreds in all: on a RAM disk when the
// machine has one and the caller chose no other place.
[[maybe_unused]] const bool temporaryInMemory = [] {
    if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK) == 0) {
        return ::setenv("TMPDIR", "/dev/shm", 0) == 0;
    }
    return false;
}();

using fktest::ChoosePath;
using fktest::Scenario;
using fktest::Texts;
using platform::SimCall;

// Where a walk runs: the simulated PC, or the host's file services with each described drive a
// folder and C:'s installation tree in folders of its own.
enum class Where { SimulatedPc, HostFolders };

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

const char* CallName(SimCall call) {
    static const char* const names[] = {"open",
                                        "read",
                                        "write",
                                        "close",
                                        "backup read",
                                        "backup write",
                                        "set attributes",
                                        "set times",
                                        "get attributes",
                                        "get times",
                                        "create directory",
                                        "find first",
                                        "find next",
                                        "delete",
                                        "move"};
    return names[static_cast<int>(call)];
}

// The error a failing call reports: what a card reader or disk would say for that kind of call.
DWORD TypicalError(SimCall call) {
    switch (call) {
    case SimCall::Open:
        return ERROR_ACCESS_DENIED;
    case SimCall::Read:
    case SimCall::BackupRead:
    case SimCall::GetAttributes:
    case SimCall::GetTimes:
    case SimCall::FindFirst:
    case SimCall::FindNext:
        return ERROR_READ_FAULT;
    default:
        return ERROR_WRITE_FAULT;
    }
}

struct Call {
    SimCall call;
    std::string path;
};

// Records every hooked call and fails the one at failAt (none when negative).
struct CallScript {
    std::vector<Call> calls;
    int failAt = -1;
    DWORD error = 0;

    platform::SimCallFault Hook() {
        return [this](SimCall call, std::string_view path) -> DWORD {
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

// Stored paths (single backslashes, no root) of a card's files with their data, and of its
// directories.
struct ArchiveContents {
    std::map<std::string, std::string> files;
    std::set<std::string> directories;
};

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

// What of CardFiles() and CardDirectories() a set of contents lacks (a file whose content
// differs counts as missing); without prompts, those below VM\PROMPTS are not asked for.
std::string Missing(const ArchiveContents& got, bool withPrompts = true) {
    std::string missing;
    for (const auto& [path, content] : CardFiles()) {
        const auto it = got.files.find(path);
        if ((withPrompts || !UnderPrompts(path)) && (it == got.files.end() || it->second != content)) {
            missing += path + " ";
        }
    }
    for (const std::string& dir : CardDirectories()) {
        if ((withPrompts || !UnderPrompts(dir)) && got.directories.count(dir) == 0) {
            missing += dir + "\\ ";
        }
    }
    return missing;
}

// A drive's tree in the same form.
ArchiveContents OnCard(Scenario& s, char letter) {
    ArchiveContents contents;
    for (const auto& [path, entry] :
         fktest::SnapshotTree(s.platform().Files(), std::string(1, letter) + ":\\")) {
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            contents.directories.insert(path);
        } else {
            contents.files[path] = entry.content;
        }
    }
    return contents;
}

// The archive at path extracted onto the empty card H:, as the card then holds it.
ArchiveContents Restored(Scenario& s, const std::string& path) {
    platform::FileSystem& fs = s.platform().Files();
    const platform::Handle h = fs.CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    std::uint64_t size = 0;
    EXPECT_TRUE(fs.GetFileSize(h, &size));
    const archive::ExtractResult stats = archive::ExtractArchive(fs, h, size, "H:\\", "", false, {});
    EXPECT_TRUE(stats.completed);
    fs.CloseHandle(h);
    EXPECT_EQ(stats.filesIncomplete + stats.entriesDamaged + stats.entriesRefused, 0u);
    return OnCard(s, 'H');
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

// Runs run(index, call) failing each call of a clean run in turn; stops at the first failing
// case, since it says enough. Returns the kinds of call walked through.
template <typename Run> std::set<SimCall> FailEachCall(const std::vector<Call>& calls, Run run) {
    std::set<SimCall> seen;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        seen.insert(calls[i].call);
        SCOPED_TRACE(std::string("failing call ") + std::to_string(i) + ": " + CallName(calls[i].call) + " " +
                     calls[i].path);
        run(static_cast<int>(i), calls[i].call);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
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
};

// A backup of card E: over an existing archive of the same name, with call failAt failing.
BackupRun RunBackup(Where where, int failAt, DWORD error) {
    BackupRun run;
    Scenario s;
    SetUpCard(s);
    s.card('H').label("SPARE"); // where a complete backup is read back
    s.localFile("ZEL\\VoxHarbor\\Backup\\CARD.VHB", EarlierArchive());
    Start(s, where);
    s.selectCard(0);
    const std::size_t before = s.messages().size();

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

    EXPECT_EQ(run.messages.size(), 1u) << "one message ends a backup: " << Join(run.messages);
    const std::string message = run.messages.empty() ? std::string() : run.messages.back();
    const auto archive = s.readFile(Target);
    const bool keptAside = Contains(message, "has been saved as " + std::string(Target) + ".tmp");
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

void WalkBackup(Where where) {
    const BackupRun clean = RunBackup(where, -1, 0);
    ASSERT_EQ(clean.messages, Texts{operations::BackupCompleteMessage});
    const std::set<SimCall> seen = FailEachCall(clean.calls, [where](int i, SimCall call) {
        RunBackup(where, i, TypicalError(call));
        if (call == SimCall::Write) {
            RunBackup(where, i, ERROR_DISK_FULL);
        }
    });
    // The walk really went through the calls this test is about.
    for (SimCall call :
         {SimCall::Open, SimCall::Read, SimCall::Write, SimCall::Close, SimCall::BackupRead,
          SimCall::GetAttributes, SimCall::GetTimes, SimCall::FindFirst, SimCall::FindNext, SimCall::Move}) {
        EXPECT_EQ(seen.count(call), 1u) << CallName(call);
    }
}

TEST(BackupFaults, EveryFailingCallIsReportedAndKeepsTheEarlierArchive) {
    WalkBackup(Where::SimulatedPc);
}

// The host's file services are the Linux platform's; Windows has its own.
#ifndef _WIN32
TEST(BackupFaults, EveryFailingCallIsReportedAndKeepsTheEarlierArchiveOnHostFolders) {
    WalkBackup(Where::HostFolders);
}
#endif

// ---------------------------------------------------------------- Restore

struct RestoreRun {
    std::vector<Call> calls;
    Texts messages;
    bool asked = false; // the prompt question was asked
};

// Card E: backed up, then restored onto the empty card F:, with call failAt failing; the prompt
// question is answered with answer (Yes: the archive's prompts too, No: the card keeps its own).
RestoreRun RunRestore(Where where, int failAt, DWORD error, const std::vector<Call>* cleanCalls,
                      int answer = IDYES) {
    RestoreRun run;
    Scenario s;
    SetUpCard(s);
    s.card('F').label("EMPTY");
    Start(s, where);
    s.selectCard(0);
    s.answerFile(ChoosePath(Target));
    s.click(ControlId::Backup);
    EXPECT_EQ(s.messages().back(), operations::BackupCompleteMessage);
    s.selectCard(1);
    EXPECT_TRUE(Contains(s.field(ControlId::Device), "F:")) << s.field(ControlId::Device);
    const std::size_t before = s.messages().size();

    CallScript script;
    script.failAt = failAt;
    script.error = error;
    s.setCallFault(script.Hook());
    s.answerFile(ChoosePath(Target));
    s.answerMessage(answer);
    s.click(ControlId::Restore);
    s.setCallFault({});
    run.calls = script.calls;
    const auto& shown = s.ui().Messages();
    for (std::size_t i = before; i < shown.size(); ++i) {
        if (shown[i].buttons == MB_YESNOCANCEL) {
            run.asked = true;
        } else {
            run.messages.push_back(shown[i].text);
        }
    }

    const bool complete = !run.messages.empty() && run.messages.back() == operations::RestoreCompleteMessage;
    if (complete) {
        EXPECT_EQ(run.messages.size(), 1u) << Join(run.messages);
        // Unless Yes was answered the card keeps its own (no) prompts: everything else is there.
        EXPECT_EQ(Missing(OnCard(s, 'F'), run.asked && answer == IDYES), "")
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
                if (c.call != SimCall::Close || c.path.rfind("F:\\", 0) != 0) {
                    continue;
                }
                const std::string rel = Collapse(c.path);
                auto it = CardFiles().find(rel);
                if (it != CardFiles().end()) {
                    EXPECT_EQ(s.readFile("F:\\" + rel), it->second)
                        << rel << " was restored before the failure";
                }
            }
        }
    }
    EXPECT_EQ(s.statusBar(0), "Ready");
    EXPECT_FALSE(s.ui().ProgressBarExists());
    EXPECT_EQ(s.ui().WaitCursorDepth(), 0);
    return run;
}

// With Yes the archive's prompts are restored too; with No the extraction leaves the card's alone.
void WalkRestore(Where where) {
    for (const int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer == IDYES ? "restoring the prompts" : "keeping the card's prompts");
        const RestoreRun clean = RunRestore(where, -1, 0, nullptr, answer);
        ASSERT_EQ(clean.messages, Texts{operations::RestoreCompleteMessage});
        ASSERT_TRUE(clean.asked);
        const std::set<SimCall> seen = FailEachCall(clean.calls, [&](int i, SimCall call) {
            RunRestore(where, i, TypicalError(call), &clean.calls, answer);
            if (answer == IDYES && (call == SimCall::BackupWrite || call == SimCall::CreateDirectory)) {
                RunRestore(where, i, ERROR_DISK_FULL, &clean.calls, answer);
            }
        });
        for (SimCall call : {SimCall::Open, SimCall::Read, SimCall::Close, SimCall::BackupWrite,
                             SimCall::SetAttributes, SimCall::SetTimes, SimCall::CreateDirectory}) {
            EXPECT_EQ(seen.count(call), 1u) << CallName(call);
        }
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

TEST(RestoreFaults, EveryFailingCallIsReportedAndKeepsWhatWasRestored) {
    WalkRestore(Where::SimulatedPc);
}

// The host's file services are the Linux platform's; Windows has its own.
#ifndef _WIN32
TEST(RestoreFaults, EveryFailingCallIsReportedAndKeepsWhatWasRestoredOnHostFolders) {
    WalkRestore(Where::HostFolders);
}
#endif

// Failures to set attributes and times are not examined during a restore: the card gets every
// byte back and "Restore Complete." is shown, but the entries keep the attributes and times they
// were created with.
TEST(RestoreFaults, FailedAttributesAndTimesAreNotReported) {
    Scenario s;
    SetUpCard(s);
    s.card('F').label("EMPTY");
    s.start();
    const FILETIME old = FILETIME::From(0x01C0000012345678ULL);
    platform::FileSystem& fs = s.pc().Files();
    ASSERT_TRUE(fs.SetFileAttributes("E:\\NOTES.TXT", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    const platform::Handle h =
        fs.CreateFile("E:\\VM\\MSG\\M0001.WAV", GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, 0);
    ASSERT_NE(h, platform::InvalidHandle);
    ASSERT_TRUE(fs.SetFileTime(h, &old, &old, &old));
    ASSERT_TRUE(fs.CloseHandle(h));
    s.selectCard(0);
    s.answerFile(ChoosePath(Target));
    s.click(ControlId::Backup);
    s.selectCard(1);

    s.pc().SetCallFault([](SimCall call, std::string_view path) -> DWORD {
        const bool onCard = path.rfind("F:", 0) == 0;
        return onCard && (call == SimCall::SetAttributes || call == SimCall::SetTimes) ? ERROR_WRITE_FAULT
                                                                                       : 0;
    });
    const std::size_t before = s.messages().size();
    s.answerFile(ChoosePath(Target));
    s.answerMessage(IDYES);
    s.click(ControlId::Restore);
    s.pc().SetCallFault({});

    EXPECT_EQ(s.messages().back(), operations::RestoreCompleteMessage);
    EXPECT_EQ(s.messages().size(), before + 2); // the prompt question and the completion
    EXPECT_EQ(Missing(OnCard(s, 'F')), "");
    EXPECT_EQ(fs.GetFileAttributes("F:\\NOTES.TXT") & FILE_ATTRIBUTE_READONLY, 0u);
    const platform::Handle restored =
        fs.CreateFile("F:\\VM\\MSG\\M0001.WAV", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(restored, platform::InvalidHandle);
    FILETIME lastWrite{};
    ASSERT_TRUE(fs.GetFileTime(restored, nullptr, nullptr, &lastWrite));
    fs.CloseHandle(restored);
    EXPECT_NE(lastWrite.Value(), old.Value());
}

} // namespace
