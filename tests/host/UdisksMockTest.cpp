// udisks2 over D-Bus against a mocked service (python3-dbusmock with hand-written objects) on a
// private bus: discovery, mounting a card when its root is first opened, the automount race,
// formatting, and device changes. Skipped, with the reason, where the bus tools are missing.
#include "HostTestSupport.h"

#include "platform/api/LastError.h"
#include "platform/common/CommandRunner.h"
#include "platform/host/HostPlatform.h"

#include <gtest/gtest.h>

#ifdef FK_HOST_UDISKS
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusObjectPath>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <thread>
#endif

using namespace platform;
using hosttest::TempDir;

namespace {

#ifndef FK_HOST_UDISKS
TEST(UdisksMock, Skipped) {
    GTEST_SKIP() << "built without Qt D-Bus: udisks2 support is not compiled in";
}
#else

// A card reader with a FAT card (not mounted yet) and an empty reader. The mount point and the
// device number come from the test, so that the host's check that a mount point really holds
// the card passes on a plain folder.
constexpr const char* Template = R"PY(
import dbus
from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
MAIN_IFACE = 'org.freedesktop.UDisks2.Manager'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

DRIVES = '/org/freedesktop/UDisks2/drives/'
BLOCKS = '/org/freedesktop/UDisks2/block_devices/'
FS = 'org.freedesktop.UDisks2.Filesystem'
BLOCK = 'org.freedesktop.UDisks2.Block'


def drive(mock, name, media):
    mock.AddObject(DRIVES + name, 'org.freedesktop.UDisks2.Drive', {
        'Removable': True, 'MediaRemovable': True, 'MediaAvailable': media, 'Optical': False,
        'Size': dbus.UInt64(64028672 if media else 0),
        'MediaCompatibility': dbus.Array(['flash_cf'], signature='s')}, [])


def block(mock, name, drive_name, size, devnum, usage='', fstype='', label=''):
    mock.AddObject(BLOCKS + name, BLOCK, {
        'Device': dbus.ByteArray(('/dev/' + name).encode() + b'\0'),
        'DeviceNumber': dbus.UInt64(devnum), 'Size': dbus.UInt64(size),
        'Drive': dbus.ObjectPath(DRIVES + drive_name),
        'IdUsage': usage, 'IdType': fstype, 'IdLabel': label, 'IdUUID': '1234-ABCD' if usage else '',
        'HintIgnore': False, 'HintSystem': False}, [])
    return mockobject.objects[BLOCKS + name]


def load(mock, parameters):
    drive(mock, 'Reader_A', True)
    block(mock, 'sdb', 'Reader_A', 64028672, 0x810)
    card = block(mock, 'sdb1', 'Reader_A', 64000000, int(parameters['devnum']), 'filesystem', 'vfat', 'VOXCARD')
    card.AddProperties(FS, {'MountPoints': dbus.Array([], signature='ay')})
    card.AddProperties('org.freedesktop.UDisks2.Partition',
                       {'Table': dbus.ObjectPath(BLOCKS + 'sdb'), 'Number': dbus.UInt32(1)})
    card.mount_point = parameters['mountpoint']
    card.AddMethod(FS, 'Mount', 'a{sv}', 's', '''
if len(self.Get(FS, 'MountPoints')) > 0:
    raise dbus.exceptions.DBusException('already', name='org.freedesktop.UDisks2.Error.AlreadyMounted')
if self.Get(BLOCK, 'IdLabel') == 'DENIED':
    self.Set(BLOCK, 'IdLabel', 'ASK AGAIN')
    raise dbus.exceptions.DBusException('no', name='org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain')
if self.Get(BLOCK, 'IdLabel') == 'PROMPT':
    __import__('time').sleep(600)
self.mounts = getattr(self, 'mounts', 0) + 1
self.UpdateProperties(FS, {'MountPoints': dbus.Array([dbus.ByteArray(self.mount_point.encode() + b'\\0')], signature='ay')})
ret = self.mount_point
'''.replace('FS', repr(FS)).replace('BLOCK', repr(BLOCK)))
    card.AddMethod(FS, 'Unmount', 'a{sv}', '', '''
if len(self.Get(FS, 'MountPoints')) == 0:
    raise dbus.exceptions.DBusException('not mounted', name='org.freedesktop.UDisks2.Error.NotMounted')
self.UpdateProperties(FS, {'MountPoints': dbus.Array([], signature='ay')})
'''.replace('FS', repr(FS)))
    card.AddMethod(BLOCK, 'Format', 'sa{sv}', '', '''
if len(self.Get(FS, 'MountPoints')) > 0:
    raise dbus.exceptions.DBusException('mounted', name='org.freedesktop.UDisks2.Error.DeviceBusy')
if args[1].get('label') == 'SLOW':
    __import__('time').sleep(0.5)
if args[1].get('label') == 'FAIL':
    raise dbus.exceptions.DBusException('mkfs failed', name='org.freedesktop.UDisks2.Error.Failed')
self.UpdateProperties(BLOCK, {'IdLabel': args[1].get('label', ''),
                              'IdType': args[0] + ':' + ' '.join(args[1].get('mkfs-args', []))
                                        + (' erase=' + args[1]['erase'] if 'erase' in args[1] else '')})
'''.replace('FS', repr(FS)).replace('BLOCK', repr(BLOCK)))
    drive(mock, 'Reader_B', False)
    block(mock, 'sdc', 'Reader_B', 0, 0x820)
)PY";

std::string RunCommand(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, p) != nullptr) {
            out += buffer;
        }
        pclose(p);
    }
    return out;
}

class UdisksMock : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hosttest::HaveProgram("dbus-daemon")) {
            GTEST_SKIP()
                << "dbus-daemon is not installed (package dbus): the udisks2 tests need a private bus";
        }
        if (std::system("/usr/bin/python3 -c 'import dbusmock' >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "python3-dbusmock is not installed: the udisks2 tests need it to mock udisks2";
        }
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "host_tests";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
        std::filesystem::create_directories(dir / "media/VOXCARD");
        struct stat st {};
        ASSERT_EQ(stat((dir / "media/VOXCARD").c_str(), &st), 0);
        const std::string out =
            RunCommand("dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1");
        const size_t newline = out.find('\n');
        ASSERT_NE(newline, std::string::npos) << "dbus-daemon did not start: " << out;
        address_ = out.substr(0, newline);
        daemonPid_ = std::atoi(out.c_str() + newline + 1);
        ASSERT_GT(daemonPid_, 0);

        hosttest::WriteText(dir / "udisks2_mock.py", Template);
        const std::string parameters = "{\"mountpoint\": \"" + (dir / "media/VOXCARD") +
                                       "\", \"devnum\": " + std::to_string(st.st_dev) + "}";
        const std::string command = "DBUS_SESSION_BUS_ADDRESS='" + address_ +
                                    "' /usr/bin/python3 -m dbusmock --session --template " +
                                    (dir / "udisks2_mock.py") + " --parameters '" + parameters + "' >" +
                                    (dir / "mock.log") + " 2>&1 & echo $!";
        mockPid_ = std::atoi(RunCommand(command).c_str());
        ASSERT_GT(mockPid_, 0);
        std::string why;
        for (int i = 0; i < 100 && udisks_ == nullptr; ++i) {
            udisks_ = host::ConnectUdisks(address_, &why);
            if (udisks_ == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        ASSERT_NE(udisks_, nullptr) << why << "\n" << hosttest::ReadText(dir / "mock.log");
    }

    void TearDown() override {
        udisks_.reset();
        platform_.reset();
        if (mockPid_ > 0) {
            kill(mockPid_, SIGTERM);
        }
        if (daemonPid_ > 0) {
            kill(daemonPid_, SIGTERM);
        }
    }

    Platform& MakePlatform() {
        host::HostConfig config;
        config.volumes.roots.mountInfo = dir / "no-mountinfo";
        config.volumes.pollInterval = std::chrono::milliseconds(0);
        config.dataDir = dir / "data";
        config.backupDir = dir / "backup";
        std::string error;
        platform_ = host::CreateHostPlatform(config, std::move(udisks_), &error);
        EXPECT_NE(platform_, nullptr) << error;
        return *platform_;
    }

    // Calls a method of the mock's control interface on an object.
    void MockCall(const QString& path, const QString& method, const QVariantList& args) {
        // Named after the bus: a connection's name stays taken after its test's bus is gone.
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address_),
                                                            QString::fromStdString("control " + address_));
        QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.UDisks2", path,
                                                           "org.freedesktop.DBus.Mock", method);
        call.setArguments(args);
        const QDBusMessage reply = bus.call(call);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }

    TempDir dir;
    std::string address_;
    int daemonPid_ = 0;
    int mockPid_ = 0;
    std::unique_ptr<host::UdisksService> udisks_;
    std::unique_ptr<Platform> platform_;
};

TEST_F(UdisksMock, CardIsFoundLabelledAndMountedWhenItsRootIsOpened) {
    Platform& p = MakePlatform();
    EXPECT_EQ(p.Drives().GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4));
    EXPECT_EQ(p.Drives().GetDriveType("D:\\"), DRIVE_REMOVABLE);
    EXPECT_EQ(p.Drives().GetDriveType("E:\\"), DRIVE_REMOVABLE);
    std::string label;
    DWORD serial = 0;
    EXPECT_TRUE(p.Drives().GetVolumeLabel("D:\\", &label, 255, &serial));
    EXPECT_EQ(label, "VOXCARD");
    EXPECT_EQ(serial, 0x1234ABCDu);

    // The empty reader is not ready; the card's root is mounted on first use and then present.
    EXPECT_EQ(p.Files().CreateFile("E:\\", GENERIC_READ, 0, OPEN_EXISTING, 0), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_EQ(p.Files().CreateFile("D:\\", GENERIC_READ, 0, OPEN_EXISTING, 0), InvalidHandle);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(p.Files().CreateDirectory("D:\\VM"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "media/VOXCARD/VM"));
    EXPECT_EQ(p.WindowsPathOf(dir / "media/VOXCARD/VM"), "D:\\VM");
}

TEST_F(UdisksMock, AnAutomountThatGotThereFirstIsUsed) {
    host::UdisksService& service = *udisks_;
    std::string mountPoint;
    // The desktop mounts the card...
    ASSERT_EQ(service.Mount("/org/freedesktop/UDisks2/block_devices/sdb1", &mountPoint), ERROR_SUCCESS);
    // ...which udisks2 announces; the watcher hears of it where an event loop runs.
    bool announced = false;
    for (int i = 0; i < 100 && !announced; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        announced = service.TakeChanged();
    }
    EXPECT_TRUE(announced);
    EXPECT_FALSE(service.TakeChanged());
    // ...and our own mount request then finds it mounted and takes that mount point.
    mountPoint.clear();
    EXPECT_EQ(service.Mount("/org/freedesktop/UDisks2/block_devices/sdb1", &mountPoint), ERROR_SUCCESS);
    EXPECT_EQ(mountPoint, dir / "media/VOXCARD");
    host::UdisksSnapshot snapshot;
    ASSERT_TRUE(service.Snapshot(&snapshot));
    const auto drives = host::DrivesFromUdisks(snapshot);
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].mountPoint, dir / "media/VOXCARD");
    EXPECT_EQ(service.Unmount("/org/freedesktop/UDisks2/block_devices/sdb1"), ERROR_SUCCESS);
    EXPECT_EQ(service.Unmount("/org/freedesktop/UDisks2/block_devices/sdb1"),
              ERROR_SUCCESS); // not mounted: fine
}

// A mount udisks2 refuses for want of authorisation reaches the caller as access denied; one that
// waits for a password prompt is waited for as long as udisks2 is there to answer it.
TEST_F(UdisksMock, AMountNotAuthorisedIsAccessDeniedAndAWaitEndsWhenUdisksGoes) {
    const QString card = QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdb1");
    MockCall(card, "UpdateProperties", {"org.freedesktop.UDisks2.Block", QVariantMap{{"IdLabel", "DENIED"}}});
    Platform& p = MakePlatform();
    DWORD spc = 0, bps = 0, free = 0, total = 0;
    EXPECT_FALSE(p.Drives().GetDiskFreeSpace("D:\\", &spc, &bps, &free, &total));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // The refusal stands for the rest of the action: udisks2 (which would mount now) is not asked
    // again, so that a dismissed password prompt does not come back for every call.
    EXPECT_FALSE(p.Files().CreateDirectory("D:\\VM"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // Another card (another serial), whose password prompt is still open when udisks2 goes.
    MockCall(card, "UpdateProperties",
             {"org.freedesktop.UDisks2.Block", QVariantMap{{"IdLabel", "PROMPT"}, {"IdUUID", "5678-EF01"}}});
    QTimer::singleShot(1500, [this] { kill(mockPid_, SIGKILL); });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(p.Files().CreateDirectory("D:\\VM"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(UdisksMock, FormatUnmountsMakesFat16WithTheLabelAndMountsAgain) {
    Platform& p = MakePlatform();
    ASSERT_TRUE(p.Files().CreateDirectory("D:\\VM")); // mounts it
    FormatRequest request;
    request.fileSystem = FormatRequest::FileSystemKind::Fat;
    request.label = "new card";
    request.quick = true;
    EXPECT_EQ(p.Drives().FormatDrive(3, request), ERROR_SUCCESS);
    std::string label;
    EXPECT_TRUE(p.Drives().GetVolumeLabel("D:\\", &label));
    EXPECT_EQ(label, "NEW CARD");
    host::UdisksSnapshot snapshot;
    // The mock keeps the type and mkfs arguments it was given in IdType.
    auto* volumes = dynamic_cast<host::HostVolumes*>(&p.Drives());
    ASSERT_NE(volumes, nullptr);
    EXPECT_EQ(volumes->DriveAt('D')->fsType, "vfat:-F 16");
    EXPECT_FALSE(volumes->DriveAt('D')->mountPoint.empty());
    // A full format has the old contents overwritten.
    request.quick = false;
    EXPECT_EQ(p.Drives().FormatDrive(3, request), ERROR_SUCCESS);
    EXPECT_EQ(volumes->DriveAt('D')->fsType, "vfat:-F 16 erase=zero");

    request.fileSystem = FormatRequest::FileSystemKind::Fat32;
    request.label = "FAIL";
    EXPECT_NE(p.Drives().FormatDrive(3, request), ERROR_SUCCESS);
    // A failed format leaves the card mounted and usable.
    EXPECT_FALSE(volumes->DriveAt('D')->mountPoint.empty());
    EXPECT_TRUE(p.Files().CreateDirectory("D:\\AFTER"));
    // The empty reader cannot be formatted.
    EXPECT_EQ(p.Drives().FormatDrive(4, request), ERROR_NOT_READY);

    // On the main thread a slow format keeps the events running (the windows stay alive), with
    // the view told not to poll meanwhile.
    int ticks = 0;
    int ticksWhileWaiting = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        ticksWhileWaiting += BusyWhileWaiting::Active();
    });
    timer.start(20);
    request.label = "SLOW";
    EXPECT_EQ(p.Drives().FormatDrive(3, request), ERROR_SUCCESS);
    EXPECT_GE(ticksWhileWaiting, 10);
    EXPECT_EQ(ticks, ticksWhileWaiting);
    EXPECT_FALSE(BusyWhileWaiting::Active());
}

TEST_F(UdisksMock, CardsInsertedAndReadersUnpluggedAreReported) {
    Platform& p = MakePlatform();
    EXPECT_TRUE(p.Devices().Poll().empty());
    MockCall("/org/freedesktop/UDisks2/drives/Reader_B", "UpdateProperties",
             {"org.freedesktop.UDisks2.Drive", QVariantMap{{"MediaAvailable", true}}});
    MockCall(
        "/org/freedesktop/UDisks2/block_devices/sdc", "UpdateProperties",
        {"org.freedesktop.UDisks2.Block", QVariantMap{{"Size", QVariant::fromValue<qulonglong>(128974848)}}});
    EXPECT_EQ(p.Devices().Poll(), std::vector<UINT>{DBT_DEVICEARRIVAL});
    // Another card in the same reader between two looks: its volume serial differs.
    MockCall("/org/freedesktop/UDisks2/block_devices/sdb1", "UpdateProperties",
             {"org.freedesktop.UDisks2.Block", QVariantMap{{"IdUUID", "5678-EF01"}}});
    // Asked for its serial, the drive is looked at now, not as the last poll saw it.
    DWORD serial = 0;
    EXPECT_TRUE(p.Drives().GetVolumeLabel("D:\\", nullptr, 0, &serial));
    EXPECT_EQ(serial, 0x5678EF01u);
    EXPECT_EQ(p.Devices().Poll(), (std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL}));
    MockCall("/org/freedesktop/UDisks2", "RemoveObject",
             {QVariant::fromValue(QDBusObjectPath("/org/freedesktop/UDisks2/block_devices/sdb1"))});
    MockCall("/org/freedesktop/UDisks2", "RemoveObject",
             {QVariant::fromValue(QDBusObjectPath("/org/freedesktop/UDisks2/block_devices/sdb"))});
    MockCall("/org/freedesktop/UDisks2", "RemoveObject",
             {QVariant::fromValue(QDBusObjectPath("/org/freedesktop/UDisks2/drives/Reader_A"))});
    EXPECT_EQ(p.Devices().Poll(), std::vector<UINT>{DBT_DEVICEREMOVECOMPLETE});
    EXPECT_EQ(p.Drives().GetDriveType("D:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(p.Drives().GetDriveType("E:\\"), DRIVE_REMOVABLE);
}

#endif

} // namespace
