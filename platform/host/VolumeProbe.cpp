#include "platform/host/VolumeProbe.h"

#include <blkid/blkid.h>

namespace platform::host {

namespace {

std::string Value(blkid_probe probe, const char* name) {
    const char* value = nullptr;
    std::size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &value, &length) != 0 || value == nullptr) {
        return {};
    }
    return std::string(value);
}

} // namespace

bool ProbeVolume(const std::string& device, VolumeProbe* out) {
    blkid_probe probe = blkid_new_probe_from_filename(device.c_str());
    if (probe == nullptr) {
        return false; // unreadable (a card reader's device needs the disk group or root)
    }
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
    const bool found = blkid_do_safeprobe(probe) == 0;
    if (found) {
        out->label = Value(probe, "LABEL");
    }
    blkid_free_probe(probe);
    return found;
}

} // namespace platform::host
