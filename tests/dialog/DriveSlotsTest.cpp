// The six drive slots, the hidden device list and device-change handling.
#include "tests/support/Scenario.h"

#include <gtest/gtest.h>

using namespace fktest;

namespace {

using Roots = std::array<std::string, DriveSlotCount>;
using Codes = std::array<std::int32_t, DriveSlotCount>;

} // namespace

TEST(DriveSlots, RemovableDrivesFillTheSlotsInLetterOrderBesideFixedOnes) {
    Scenario s;
    s.card('D').type(platform::SimDriveType::Fixed);
    s.card('G').label("READER"); // E: and G: removable, C: and D: fixed
    s.card('A').label("FLOPPY"); // A: and B: are never considered
    s.start();

    EXPECT_EQ(s.dialog().driveRoots, (Roots{"E:\\", "G:\\", "", "", "", ""}));
    EXPECT_EQ(driveCodes, (Codes{2, 4, 24, 24, 24, 24}));
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\"}));
}

TEST(DriveSlots, NoRemovableDriveLeavesEverySlotEmpty) {
    Scenario s;
    s.removeDrive('E');
    s.removeDrive('G');
    s.start();
    EXPECT_EQ(s.dialog().driveRoots, Roots{});
    EXPECT_EQ(driveCodes, (Codes{24, 24, 24, 24, 24, 24}));
    EXPECT_EQ(s.deviceList(), Texts{});
}

TEST(DriveSlots, ASeventhRemovableDriveFindsTheSlotsFullAndTheFirstSixStay) {
    Scenario s;
    for (char letter : {'H', 'I', 'J', 'K', 'L', 'M'}) {
        s.card(letter);
    }
    s.start(); // E:, G:, H:, I:, J:, K:, L:, M: are removable

    EXPECT_EQ(s.dialog().driveRoots, (Roots{"E:\\", "G:\\", "H:\\", "I:\\", "J:\\", "K:\\"}));
    EXPECT_EQ(driveCodes, (Codes{2, 4, 5, 6, 7, 8}));
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\", "H:\\", "I:\\", "J:\\", "K:\\"}));
}

TEST(DriveSlots, ARemovedLowerDriveShiftsTheSlotsButNotTheSelection) {
    Scenario s;
    s.removeDrive('G');
    s.card('D').type(platform::SimDriveType::Removable).media(true).label("OTHER"); // removable D: and E:
    s.start();
    s.selectCard(1); // E:
    ASSERT_EQ(s.field(ControlId::Device), "VOXCARD (E:)");
    ASSERT_EQ(s.dialog().deviceIndex, 1);

    s.unplug('D');

    EXPECT_EQ(s.dialog().driveRoots[0], "E:\\");
    EXPECT_EQ(s.dialog().driveRoots[1], "");
    EXPECT_EQ(s.dialog().deviceIndex, 1);
    EXPECT_EQ(s.dialog().CardRoot(), "");
    EXPECT_EQ(s.dialog().SelectedDriveCode(), DriveCodeNone);
    EXPECT_EQ(s.deviceList(), Texts{"E:\\"});
    // A device change does not touch the fields.
    EXPECT_EQ(s.field(ControlId::Device), "VOXCARD (E:)");
    EXPECT_EQ(s.field(ControlId::Status), "Ready");
}

TEST(DriveSlots, WhenNoVolumeAnswersTheListKeepsItsItemsAndGainsOnlyMissingRoots) {
    Scenario s;
    s.start();
    ASSERT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\"}));

    // No removable volume answers the scan any more; E: goes away and H: arrives.
    s.card('G').volumeAnswers(false);
    s.card('H').volumeAnswers(false);
    s.unplug('E');

    EXPECT_EQ(s.dialog().driveRoots, (Roots{"G:\\", "H:\\", "", "", "", ""}));
    EXPECT_EQ(driveCodes, (Codes{4, 5, 24, 24, 24, 24}));
    // E:\ stays as a stale item, G:\ is not added twice, H:\ goes to its slot's position.
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "H:\\", "G:\\"}));
}

TEST(DeviceChange, OnlyArrivalRemovalAndForcedRescansAreActedUpon) {
    Scenario s;
    s.start();
    s.card('H'); // on the PC, but not yet scanned
    const int repaints = s.ui().RepaintCount();

    for (UINT ignored : {DBT_DEVICEQUERYREMOVE, DBT_DEVNODES_CHANGED}) {
        EXPECT_EQ(s.dialog().OnDeviceChange(ignored, 0), FALSE);
        EXPECT_EQ(s.send(WM_DEVICECHANGE, ignored), FALSE);
    }
    EXPECT_EQ(s.ui().RepaintCount(), repaints);
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\"}));

    for (UINT accepted : {0u, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}) {
        EXPECT_EQ(s.send(WM_DEVICECHANGE, accepted), TRUE);
    }
    EXPECT_EQ(s.deviceList(), (Texts{"E:\\", "G:\\", "H:\\"}));
}

TEST(DeviceChange, PullingAndInsertingTheCardKeepsItsSlot) {
    Scenario s;
    s.start();
    s.pull('E');
    EXPECT_EQ(s.dialog().driveRoots[0], "E:\\"); // the drive type alone decides
    s.insert('E');
    EXPECT_EQ(s.dialog().driveRoots[0], "E:\\");
    EXPECT_EQ(s.messages(), Texts{});
}
