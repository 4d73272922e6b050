// What the Linux host makes of the system's own descriptions of its drives, each built from the
// input as the system would write it: mount-table lines with the kernel's octal escapes, udev's
// escaped label names, FAT boot sectors, and udisks2's drives and block devices. Checked: the
// escaped fields read back as they were (the mount table through libmount); a boot sector that is
// accepted gives a geometry FAT can have; drives made of a udisks2 snapshot belong to its whole-disk blocks,
// have no file system without a medium, and keep their letters (D: to Z:, never a reserved one) across calls.
#include "fuzz/FuzzSupport.h"
#include "platform/host/Discovery.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

namespace {

using namespace platform::host;

// The kernel's escaping of a mountinfo field: blank, tab, newline and backslash as \ooo; every
// other byte (carriage return, vertical tab and form feed among them) is written as it is.
std::string KernelEscaped(const std::string& field) {
    std::string out;
    for (const char c : field) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
            out += octal;
        } else {
            out += c;
        }
    }
    return out;
}

std::string MountField(FuzzedDataProvider& in, const char* prefix) {
    std::string field = prefix + in.ConsumeRandomLengthString(40);
    std::erase_if(field, [](char c) { return c == '\0'; });
    return field.empty() ? "x" : field;
}

void CheckMountInfo(FuzzedDataProvider& in) {
    MountEntry line;
    line.major = in.ConsumeIntegral<std::uint16_t>();
    line.minor = in.ConsumeIntegral<std::uint16_t>();
    line.root = MountField(in, "/");
    line.mountPoint = MountField(in, "/");
    line.fsType = MountField(in, "");
    line.source = MountField(in, "");
    // The line first, as the kernel's table always begins with a well-formed line (the format
    // of the table is taken from its first line), then whatever else the input holds.
    const std::string text = "36 35 " + std::to_string(line.major) + ":" + std::to_string(line.minor) + " " +
                             KernelEscaped(line.root) + " " + KernelEscaped(line.mountPoint) +
                             " rw,nosuid shared:1 - " + KernelEscaped(line.fsType) + " " +
                             KernelEscaped(line.source) + " rw\n" + in.ConsumeRandomLengthString(600);
    const std::vector<MountEntry> mounts = ParseMountInfo(text);
    if (mounts.empty()) {
        fuzz::Die("a mountinfo line was not read: " + text);
    }
    const MountEntry& got = mounts.front();
    if (got.major != line.major || got.minor != line.minor || got.root != line.root ||
        got.mountPoint != line.mountPoint || got.fsType != line.fsType || got.source != line.source) {
        fuzz::Die("a mountinfo line read back otherwise: " + text + "mount point \"" + got.mountPoint + "\"");
    }
    for (const HostDrive& d : DiscoverNetworkMounts(mounts)) {
        if (d.key != "net:" + d.mountPoint || d.type != DRIVE_REMOTE) {
            fuzz::Die("a network drive made of " + d.mountPoint);
        }
    }
}

void CheckUdevEscapes(FuzzedDataProvider& in) {
    const std::string label = in.ConsumeRandomLengthString(64);
    std::string escaped; // as udev names the by-label links: unsafe bytes as \xhh
    for (const char c : label) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || std::string_view("#+-.:=@_").find(c) != std::string_view::npos) {
            escaped += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            escaped += hex;
        }
    }
    if (DecodeUdevEscapes(escaped) != label) {
        fuzz::Die("a by-label name read back otherwise: " + escaped);
    }
}

void CheckBootSector(FuzzedDataProvider& in) {
    std::vector<std::uint8_t> sector = in.ConsumeBytes<std::uint8_t>(512);
    sector.resize(512);
    FatGeometry g;
    if (!ParseFatBootSector(sector.data(), sector.size(), &g)) {
        return;
    }
    const bool sizes = (g.bytesPerSector == 512 || g.bytesPerSector == 1024 || g.bytesPerSector == 2048 ||
                        g.bytesPerSector == 4096) &&
                       g.sectorsPerCluster != 0 && (g.sectorsPerCluster & (g.sectorsPerCluster - 1)) == 0;
    const int bits = g.totalClusters < 4085 ? 12 : g.totalClusters < 65525 ? 16 : 32;
    if (!sizes || g.fatBits != bits) {
        fuzz::Die("a boot sector read as " + std::to_string(g.bytesPerSector) + " bytes per sector, " +
                  std::to_string(g.sectorsPerCluster) + " per cluster, FAT" + std::to_string(g.fatBits));
    }
}

void CheckUdisks(FuzzedDataProvider& in) {
    // Each object once, as udisks2 names them; blocks refer to drives (or to none) by a few choices.
    auto pick = [&](const char* prefix, int choices) {
        return prefix + std::to_string(in.ConsumeIntegralInRange(0, choices - 1));
    };
    UdisksSnapshot snapshot;
    for (int i = in.ConsumeIntegralInRange(0, 4); i > 0; --i) {
        UdisksDrive d;
        d.object = "/drives/d" + std::to_string(i);
        d.mediaRemovable = in.ConsumeBool();
        d.mediaAvailable = in.ConsumeBool();
        d.optical = in.ConsumeBool();
        d.size = in.ConsumeIntegralInRange<std::uint64_t>(0, 3) * 64'000'000;
        snapshot.drives.push_back(d);
    }
    for (int i = in.ConsumeIntegralInRange(0, 8); i > 0; --i) {
        UdisksBlock b;
        b.object = "/block/b" + std::to_string(i);
        b.device = "/dev/sd" + std::string(1, static_cast<char>('a' + i));
        b.deviceNumber = in.ConsumeIntegral<std::uint16_t>();
        b.size = in.ConsumeIntegralInRange<std::uint64_t>(0, 3) * 64'000'000;
        b.drive = in.ConsumeBool() ? pick("/drives/d", 5) : "/";
        b.idUsage = in.ConsumeBool() ? "filesystem" : in.ConsumeRandomLengthString(12);
        b.idType = in.ConsumeRandomLengthString(8);
        b.idLabel = in.ConsumeRandomLengthString(16);
        b.hintIgnore = in.ConsumeBool();
        b.hintSystem = in.ConsumeBool();
        b.hasFilesystem = in.ConsumeBool();
        for (int m = in.ConsumeIntegralInRange(0, 2); m > 0; --m) {
            b.mountPoints.push_back((in.ConsumeBool() ? "/media/u/" : "/") +
                                    in.ConsumeRandomLengthString(12));
        }
        b.isPartition = in.ConsumeBool();
        snapshot.blocks.push_back(b);
    }
    const std::vector<HostDrive> drives = DrivesFromUdisks(snapshot);
    for (const HostDrive& d : drives) {
        const bool whole =
            std::any_of(snapshot.blocks.begin(), snapshot.blocks.end(), [&](const UdisksBlock& b) {
                return !b.isPartition && b.device == d.key && b.drive != "/";
            });
        if (!whole || (!d.mediaPresent && (d.hasFileSystem || !d.label.empty() || !d.mountPoint.empty()))) {
            fuzz::Die("a drive " + d.key + " made of udisks2's snapshot");
        }
    }

    std::set<char> reserved;
    for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i) {
        reserved.insert(static_cast<char>(in.ConsumeIntegralInRange<int>('D', 'Z')));
    }
    LetterTable table;
    const auto first = table.Assign(drives, reserved);
    std::vector<HostDrive> fewer = drives;
    if (!fewer.empty()) {
        fewer.erase(fewer.begin() + in.ConsumeIntegralInRange<std::size_t>(0, fewer.size() - 1));
    }
    const auto second = table.Assign(fewer, reserved);
    std::set<std::string> keys;
    for (const auto& [letter, d] : first) {
        if (letter < 'D' || letter > 'Z' || reserved.count(letter) != 0 || !keys.insert(d.key).second) {
            fuzz::Die(std::string("letter ") + letter + ": given to " + d.key);
        }
    }
    for (const auto& [letter, d] : second) {
        if (first.count(letter) == 0 || first.at(letter).key != d.key) {
            fuzz::Die(std::string("drive ") + d.key + " moved to letter " + letter + ":");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    CheckMountInfo(in);
    CheckUdevEscapes(in);
    CheckBootSector(in);
    CheckUdisks(in);
    return 0;
}
