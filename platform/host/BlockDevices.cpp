// The machine's block devices through libudev: the disks and their partitions with the
// attributes discovery decides by, and the labels and UUIDs udev read from the volumes (the
// names of /dev/disk/by-label and by-uuid).
#include "platform/host/Discovery.h"

#include <libudev.h>

#include <cstdlib>
#include <memory>

namespace platform::host {

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T> using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string Text(const char* s) {
    return s == nullptr ? std::string() : std::string(s);
}

std::uint64_t Number(const char* s) {
    return s == nullptr ? 0 : std::strtoull(s, nullptr, 10);
}

// The volume's label as udev encodes it for by-label ("MY\x20CARD"), decoded, and its UUID.
void NoteLabel(udev_device* device, const std::string& name, BlockDevices* out) {
    const char* encoded = udev_device_get_property_value(device, "ID_FS_LABEL_ENC");
    if (encoded != nullptr && *encoded != '\0') {
        out->labels[name] = DecodeUdevEscapes(encoded);
    }
    const char* uuid = udev_device_get_property_value(device, "ID_FS_UUID");
    if (uuid != nullptr && *uuid != '\0') {
        out->serials[name] = uuid;
    }
}

} // namespace

BlockDevices WalkBlockDevices() {
    BlockDevices out;
    UdevPtr<udev> context(udev_new());
    if (context == nullptr) {
        return out; // no udev context (out of memory): no block devices are known
    }
    UdevPtr<udev_enumerate> walk(udev_enumerate_new(context.get()));
    if (walk == nullptr || udev_enumerate_add_match_subsystem(walk.get(), "block") < 0 ||
        udev_enumerate_scan_devices(walk.get()) < 0) {
        return out; // as above: /sys cannot be read, so no block devices are known
    }
    std::vector<std::pair<std::string, BlockPartition>> partitions; // disk name, partition
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(walk.get())) {
        UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (device == nullptr) {
            continue; // gone since the walk listed it
        }
        const std::string name = Text(udev_device_get_sysname(device.get()));
        const std::string type = Text(udev_device_get_devtype(device.get()));
        const std::uint64_t number = udev_device_get_devnum(device.get());
        if (type == "disk") {
            BlockDisk disk;
            disk.name = name;
            disk.removable = Number(udev_device_get_sysattr_value(device.get(), "removable")) != 0;
            disk.optical = Text(udev_device_get_property_value(device.get(), "ID_CDROM")) == "1" ||
                           Text(udev_device_get_sysattr_value(device.get(), "device/type")) == "5";
            disk.sectors = Number(udev_device_get_sysattr_value(device.get(), "size"));
            disk.deviceNumber = number;
            out.disks.push_back(std::move(disk));
        } else if (type == "partition") {
            udev_device* parent =
                udev_device_get_parent_with_subsystem_devtype(device.get(), "block", "disk");
            if (parent != nullptr) {
                partitions.emplace_back(Text(udev_device_get_sysname(parent)), BlockPartition{name, number});
            }
        }
        NoteLabel(device.get(), name, &out);
    }
    for (auto& [diskName, partition] : partitions) {
        for (BlockDisk& disk : out.disks) {
            if (disk.name == diskName) {
                disk.partitions.push_back(std::move(partition));
            }
        }
    }
    return out;
}

} // namespace platform::host
