#include "platform/host/MountTable.h"

#include <libmount/libmount.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace platform::host {

namespace {

// A malformed line is passed over; the rest of the table still counts.
int SkipMalformedLine(libmnt_table*, const char*, int) {
    return 1;
}

std::string Text(const char* s) {
    return s == nullptr ? std::string() : std::string(s);
}

} // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    if (text.empty()) {
        return entries;
    }
    std::string copy(text);
    FILE* stream = fmemopen(copy.data(), copy.size(), "r");
    libmnt_table* table = mnt_new_table();
    if (stream == nullptr || table == nullptr) {
        // Out of memory: no mounts are known, as with an unreadable table.
        if (stream != nullptr) {
            std::fclose(stream);
        }
        mnt_unref_table(table);
        return entries;
    }
    mnt_table_set_parser_errcb(table, SkipMalformedLine);
    if (mnt_table_parse_stream(table, stream, "mountinfo") == 0) {
        libmnt_iter* it = mnt_new_iter(MNT_ITER_FORWARD);
        libmnt_fs* fs = nullptr;
        while (it != nullptr && mnt_table_next_fs(table, it, &fs) == 0) {
            const dev_t dev = mnt_fs_get_devno(fs);
            entries.push_back(MountEntry{major(dev), minor(dev), Text(mnt_fs_get_root(fs)),
                                         Text(mnt_fs_get_target(fs)), Text(mnt_fs_get_fstype(fs)),
                                         Text(mnt_fs_get_source(fs)), Text(mnt_fs_get_fs_options(fs))});
        }
        mnt_free_iter(it);
    }
    mnt_unref_table(table);
    std::fclose(stream);
    return entries;
}

std::vector<MountEntry> ReadMountInfo(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseMountInfo(text.str());
}

bool HasOption(const MountEntry& entry, std::string_view name) {
    std::string_view rest = entry.options;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == name) {
            return true;
        }
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return false;
}

bool FatFlushesEachClose(unsigned major, unsigned minor) {
    for (const MountEntry& m : ReadMountInfo("/proc/self/mountinfo")) {
        if (m.major == major && m.minor == minor && (m.fsType == "vfat" || m.fsType == "msdos")) {
            return HasOption(m, "flush");
        }
    }
    return false;
}

MountMonitor::MountMonitor() : monitor_(mnt_new_monitor()) {
    if (monitor_ != nullptr && mnt_monitor_enable_kernel(monitor_, 1) != 0) {
        mnt_unref_monitor(monitor_);
        monitor_ = nullptr;
    }
}

MountMonitor::~MountMonitor() {
    mnt_unref_monitor(monitor_);
}

bool MountMonitor::TakeChanged() {
    if (monitor_ == nullptr) {
        return false;
    }
    bool changed = false;
    const char* file = nullptr;
    int type = 0;
    while (mnt_monitor_next_change(monitor_, &file, &type) == 0) {
        changed = true;
    }
    return changed;
}

} // namespace platform::host
