// udisks2 over the D-Bus system bus (Qt D-Bus): the object manager's snapshot of drives and
// block devices, its change signals, and Mount, Unmount and Format.
#include "platform/host/Udisks.h"

#include "platform/api/Platform.h"
#include "platform/common/CommandRunner.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QThread>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusVariant>

#include <atomic>
#include <limits>

using UdisksInterfaces = QMap<QString, QVariantMap>;
using UdisksObjects = QMap<QDBusObjectPath, UdisksInterfaces>;
Q_DECLARE_METATYPE(UdisksInterfaces)
Q_DECLARE_METATYPE(UdisksObjects)

namespace platform::host {

namespace {

const QString Service = QStringLiteral("org.freedesktop.UDisks2");
const QString Root = QStringLiteral("/org/freedesktop/UDisks2");
const QString BlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString FilesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString PartitionInterface = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString DriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
constexpr int CallTimeoutMs = 30000;
// Mounting, unmounting and formatting may wait for the desktop's password prompt (polkit), which a
// technician may take any time to answer, and a format of a large card takes minutes: these calls
// wait without a timeout (D-Bus's "infinite", INT_MAX). They still end when udisks2 leaves the bus
// (the bus answers for it) or the bus itself goes; meanwhile the window stays alive (CallAndWait).
constexpr int UntilAnswered = std::numeric_limits<int>::max();

std::string ByteString(const QVariant& v) {
    QByteArray bytes = v.toByteArray();
    while (!bytes.isEmpty() && bytes.back() == '\0') {
        bytes.chop(1);
    }
    return bytes.toStdString();
}

std::vector<std::string> ByteStrings(const QVariant& v) {
    std::vector<std::string> out;
    if (v.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument arg = v.value<QDBusArgument>();
        arg.beginArray();
        while (!arg.atEnd()) {
            QByteArray b;
            arg >> b;
            out.push_back(ByteString(b));
        }
        arg.endArray();
    } else {
        for (const QVariant& item : v.toList()) {
            out.push_back(ByteString(item));
        }
    }
    return out;
}

std::string ObjectPath(const QVariant& v) {
    return v.userType() == qMetaTypeId<QDBusObjectPath>() ? v.value<QDBusObjectPath>().path().toStdString()
                                                          : v.toString().toStdString();
}

// udisks2's error names as Windows codes.
DWORD ErrorOf(const QDBusMessage& reply) {
    const QString name = reply.errorName();
    if (name.startsWith(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized"))) {
        return ERROR_ACCESS_DENIED;
    }
    if (name == QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy")) {
        return ERROR_SHARING_VIOLATION;
    }
    if (name == QStringLiteral("org.freedesktop.UDisks2.Error.Cancelled")) {
        return ERROR_CANCELLED;
    }
    if (name == QStringLiteral("org.freedesktop.DBus.Error.NoReply") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.Disconnected") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.UnknownObject")) {
        // The card or the service went away.
        return ERROR_NOT_READY;
    }
    return ERROR_GEN_FAILURE;
}

// Sends a call and waits for its reply (or the timeout's error). On the application's main
// thread, which draws the windows, the wait processes the events other than user input, so that
// the windows stay alive during a slow call (a format takes minutes); BusyWhileWaiting tells the
// view meanwhile not to start another platform call. Elsewhere the call just blocks.
QDBusMessage CallAndWait(QDBusConnection& bus, const QDBusMessage& call, int timeoutMs) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) {
        return bus.call(call, QDBus::Block, timeoutMs);
    }
    QDBusPendingCall pending = bus.asyncCall(call, timeoutMs);
    if (!pending.isFinished()) {
        QDBusPendingCallWatcher watcher(pending);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        const BusyWhileWaiting busy;
        if (!pending.isFinished()) {
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
    }
    return pending.reply();
}

class ChangeListener : public QObject {
    Q_OBJECT
public:
    std::atomic<bool> changed{false};
public Q_SLOTS:
    void OnChange(const QDBusMessage&) { changed = true; }
};

class UdisksDBus final : public UdisksService {
public:
    explicit UdisksDBus(QDBusConnection bus) : bus_(std::move(bus)) {
        // Any change of udisks2's objects marks the view as stale; the watcher then reads it
        // again (signals arrive where an event loop runs; otherwise the poll interval covers it).
        bus_.connect(Service, Root, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                     QStringLiteral("InterfacesAdded"), &listener_, SLOT(OnChange(QDBusMessage)));
        bus_.connect(Service, Root, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                     QStringLiteral("InterfacesRemoved"), &listener_, SLOT(OnChange(QDBusMessage)));
        bus_.connect(Service, QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                     QStringLiteral("PropertiesChanged"), &listener_, SLOT(OnChange(QDBusMessage)));
    }

    bool Snapshot(UdisksSnapshot* out) override {
        *out = UdisksSnapshot{};
        QDBusMessage call = QDBusMessage::createMethodCall(
            Service, Root, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
            QStringLiteral("GetManagedObjects"));
        const QDBusMessage reply = CallAndWait(bus_, call, CallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return false;
        }
        UdisksObjects objects;
        reply.arguments().at(0).value<QDBusArgument>() >> objects;
        for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
            const std::string path = it.key().path().toStdString();
            const UdisksInterfaces& ifaces = it.value();
            if (ifaces.contains(BlockInterface)) {
                const QVariantMap& b = ifaces[BlockInterface];
                UdisksBlock block;
                block.object = path;
                block.device = ByteString(b.value(QStringLiteral("Device")));
                block.deviceNumber = b.value(QStringLiteral("DeviceNumber")).toULongLong();
                block.size = b.value(QStringLiteral("Size")).toULongLong();
                block.drive = ObjectPath(b.value(QStringLiteral("Drive")));
                block.idUsage = b.value(QStringLiteral("IdUsage")).toString().toStdString();
                block.idType = b.value(QStringLiteral("IdType")).toString().toStdString();
                block.idLabel = b.value(QStringLiteral("IdLabel")).toString().toStdString();
                block.idUuid = b.value(QStringLiteral("IdUUID")).toString().toStdString();
                block.hintIgnore = b.value(QStringLiteral("HintIgnore")).toBool();
                block.hintSystem = b.value(QStringLiteral("HintSystem")).toBool();
                block.hasFilesystem = ifaces.contains(FilesystemInterface);
                // None without a file system: the missing interface gives an empty list.
                block.mountPoints =
                    ByteStrings(ifaces.value(FilesystemInterface).value(QStringLiteral("MountPoints")));
                block.isPartition = ifaces.contains(PartitionInterface);
                out->blocks.push_back(std::move(block));
            }
            if (ifaces.contains(DriveInterface)) {
                const QVariantMap& d = ifaces[DriveInterface];
                UdisksDrive drive;
                drive.object = path;
                drive.mediaRemovable = d.value(QStringLiteral("MediaRemovable")).toBool();
                drive.mediaAvailable = d.value(QStringLiteral("MediaAvailable")).toBool();
                const QStringList media = d.value(QStringLiteral("MediaCompatibility")).toStringList();
                drive.optical = d.value(QStringLiteral("Optical")).toBool() ||
                                !media.filter(QStringLiteral("optical")).isEmpty();
                drive.size = d.value(QStringLiteral("Size")).toULongLong();
                out->drives.push_back(std::move(drive));
            }
        }
        return true;
    }

    DWORD Mount(const std::string& block, std::string* mountPoint) override {
        QDBusMessage call = QDBusMessage::createMethodCall(Service, QString::fromStdString(block),
                                                           FilesystemInterface, QStringLiteral("Mount"));
        call << QVariantMap{};
        call.setInteractiveAuthorizationAllowed(true);
        const QDBusMessage reply = CallAndWait(bus_, call, UntilAnswered);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            *mountPoint = reply.arguments().at(0).toString().toStdString();
            return ERROR_SUCCESS;
        }
        if (reply.errorName() == QStringLiteral("org.freedesktop.UDisks2.Error.AlreadyMounted")) {
            // The desktop's automount got there first: use its mount.
            const std::vector<std::string> points = ByteStrings(
                Property(QString::fromStdString(block), FilesystemInterface, QStringLiteral("MountPoints")));
            if (points.empty()) {
                return ERROR_NOT_READY;
            }
            *mountPoint = points.front();
            return ERROR_SUCCESS;
        }
        return ErrorOf(reply);
    }

    DWORD Unmount(const std::string& block) override {
        QDBusMessage call = QDBusMessage::createMethodCall(Service, QString::fromStdString(block),
                                                           FilesystemInterface, QStringLiteral("Unmount"));
        call << QVariantMap{};
        call.setInteractiveAuthorizationAllowed(true);
        const QDBusMessage reply = CallAndWait(bus_, call, UntilAnswered);
        if (reply.type() == QDBusMessage::ReplyMessage ||
            reply.errorName() == QStringLiteral("org.freedesktop.UDisks2.Error.NotMounted")) {
            return ERROR_SUCCESS;
        }
        return ErrorOf(reply);
    }

    DWORD Format(const std::string& block, const std::string& type, const std::string& label, int fatBits,
                 bool quick) override {
        // udisks2 passes mkfs-args on from 2.10; older versions drop them and mkfs.fat chooses the
        // FAT size by the card's size, which is FAT16 for every card up to 512 MiB. A FAT32 card
        // cannot be had from them: refused before anything is touched, instead of a FAT16 card.
        if (type == "vfat" && fatBits == 32 && !PassesMkfsArgs()) {
            return ERROR_NOT_SUPPORTED;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(Service, QString::fromStdString(block),
                                                           BlockInterface, QStringLiteral("Format"));
        QVariantMap options;
        options.insert(QStringLiteral("label"), QString::fromStdString(label));
        if (type == "vfat") {
            options.insert(QStringLiteral("mkfs-args"),
                           QStringList{QStringLiteral("-F"), QString::number(fatBits)});
        }
        // A full format overwrites the old contents, as Windows' full format does.
        if (!quick) {
            options.insert(QStringLiteral("erase"), QStringLiteral("zero"));
        }
        call << QString::fromStdString(type) << options;
        call.setInteractiveAuthorizationAllowed(true);
        const QDBusMessage reply = CallAndWait(bus_, call, UntilAnswered);
        return reply.type() == QDBusMessage::ReplyMessage ? ERROR_SUCCESS : ErrorOf(reply);
    }

    bool TakeChanged() override { return listener_.changed.exchange(false); }

private:
    // A property of an object of udisks2; invalid when it cannot be read.
    QVariant Property(const QString& object, const QString& interface, const QString& name) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            Service, object, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << interface << name;
        const QDBusMessage reply = CallAndWait(bus_, get, CallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return {};
        }
        return reply.arguments().at(0).value<QDBusVariant>().variant();
    }

    // Whether udisks2 is 2.10 or later; an unknown version is taken as one that is.
    bool PassesMkfsArgs() {
        const QStringList parts =
            Property(Root + QStringLiteral("/Manager"), QStringLiteral("org.freedesktop.UDisks2.Manager"),
                     QStringLiteral("Version"))
                .toString()
                .split(QLatin1Char('.'));
        bool okMajor = false, okMinor = false;
        const int major = parts.value(0).toInt(&okMajor);
        const int minor = parts.value(1).toInt(&okMinor);
        return !okMajor || !okMinor || major > 2 || (major == 2 && minor >= 10);
    }

    QDBusConnection bus_;
    ChangeListener listener_;
};

} // namespace

std::unique_ptr<UdisksService> ConnectUdisks(const std::string& busAddress, std::string* why) {
    qDBusRegisterMetaType<UdisksInterfaces>();
    qDBusRegisterMetaType<UdisksObjects>();
    static int connections = 0;
    QDBusConnection bus =
        busAddress.empty()
            ? QDBusConnection::systemBus()
            : QDBusConnection::connectToBus(QString::fromStdString(busAddress),
                                            QStringLiteral("flashkeeper3-udisks-%1").arg(++connections));
    if (!bus.isConnected()) {
        *why = "no D-Bus system bus: " + bus.lastError().message().toStdString();
        return nullptr;
    }
    auto service = std::make_unique<UdisksDBus>(bus);
    UdisksSnapshot probe;
    if (!service->Snapshot(&probe)) {
        *why = "udisks2 does not answer on the bus";
        return nullptr;
    }
    return service;
}

} // namespace platform::host

#include "UdisksDBus.moc"
