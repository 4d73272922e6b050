// Helpers of the operation scenarios: a card like the demo card, snapshots of a drive's tree
// (bytes, attribute words and times), and fault hooks for the simulated PC.
#pragma once

#include "tests/support/FileTree.h"
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace optest {

using fktest::Difference;
using fktest::EntryState;
using fktest::Tree;

// The PCs a scenario can run on: "Sim" always; "Host" (the real host platform on the USB card
// reader) when the process runs in the virtual PC. The Windows build has only "Win32": the Win32
// platform over Wine's drives. Cases that hold on each are TEST_P of a suite derived from OnEachPc
// and instantiated with FK_ON_EACH_PC.
std::vector<std::string> Pcs();
class OnEachPc : public ::testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<fktest::Scenario> NewScenario() const;
    // A Wine drive cannot be unplugged or given another card, and the Win32 platform leaves
    // formatting to the shell's format dialog: cases that need these skip on the Win32 PC.
    bool OnWin32() const { return GetParam() == "Win32"; }
};
#define FK_ON_EACH_PC(Suite)                                                                                 \
    INSTANTIATE_TEST_SUITE_P(On, Suite, ::testing::ValuesIn(optest::Pcs()),                                  \
                             [](const ::testing::TestParamInfo<std::string>& info) { return info.param; })

// The tree below the drive's root, keyed by the path below it (on a real card without creation
// and access times: Linux cannot set the one, reading moves the other).
Tree Snapshot(fktest::Scenario& s, char letter);

// A card like the demo's: four prompt slots of version 0110 (slot 0 with CR LF), mailboxes with
// messages, greetings and names, a hidden and a read-only file, a file whose backup stream
// fills exactly one block, and distinct times on every entry. Call after start().
void FillDemoCard(fktest::Scenario& s, char letter);

// size bytes of sound-like data, different for each seed.
std::string Audio(unsigned seed, std::size_t size);

// Sets the three times and then the attribute word of an existing entry.
void Stamp(fktest::Scenario& s, const std::string& path, std::uint64_t time, DWORD attributes);

inline constexpr const char* BackupDir = "C:\\ZEL\\VoxHarbor\\Backup\\";
inline constexpr const char* InitialArchive = "C:\\ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb";
inline constexpr const char* PromptArchive = "C:\\ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp";

inline constexpr const char* SelectDevice = "Please select a device.";
inline constexpr const char* NoMedia = "No media present.";
inline constexpr const char* InsertValidCard = "Please insert a valid VoxHarbor card into the drive.";
inline constexpr const char* BackupDirMissing =
    "The VoxHarbor Backup directory and associated files were not found.  Please re-install the application.";
inline constexpr const char* PromptsDirMissing = "The VoxHarbor Prompts directory and associated files were "
                                                 "not found.  Please re-install the application.";
inline constexpr const char* DataDirMissing =
    "The VoxHarbor Data directory and associated files were not found.  Please re-install the application.";
inline constexpr const char* CardFull =
    "The operation could not be completed because the VoxHarbor card is full. The card must be "
    "re-initialized before it can be used in the system.";

std::string Question(const std::string& archiveVersion, const std::string& cardVersion);

// The pre-check rungs that the operations share, each set up on a started scenario whose card E:
// is selected (the G: reader is taken off the PC so that an unplugged E: leaves the slot empty).
enum class Rung {
    NotSelected,        // no card chosen
    NoMediaFirstProbe,  // the card pulled without a device change: the root is not ready
    NoMediaSecondProbe, // the root answers once, then is not ready
    NoDrive,            // the reader unplugged: the slot holds no drive
    BackupDirMissing,   // "C:\ZEL\VoxHarbor" gone
    PromptsDirMissing,  // the Prompts probe gives path-not-found
    DataDirMissing,     // the Data probe gives path-not-found
};
// Starts s (with E: holding prompts "0110"), selects the card unless the rung is NotSelected and
// sets the rung's condition up; for the device and card rungs the local tree is missing as well.
void SetUpRung(fktest::Scenario& s, Rung rung);

} // namespace optest
