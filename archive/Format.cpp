#include "archive/Format.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace archive {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Upper(x) == Upper(y); });
}

// Splits the part below the drive root into names; runs of backslashes separate them.
template <typename F> void ForEachName(std::string_view belowRoot, F&& f) {
    std::size_t i = 0;
    while (i < belowRoot.size()) {
        while (i < belowRoot.size() && belowRoot[i] == '\\') {
            ++i;
        }
        std::size_t j = i;
        while (j < belowRoot.size() && belowRoot[j] != '\\') {
            ++j;
        }
        if (j > i && !f(belowRoot.substr(i, j - i))) {
            return;
        }
        i = j;
    }
}

bool IsDeviceName(std::string_view name) {
    // Windows opens the device, whatever the extension: "CON.TXT" is the console too.
    const std::string_view base = name.substr(0, name.find('.'));
    static constexpr std::string_view devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view d : devices) {
        if (EqualsNoCase(base, d)) {
            return true;
        }
    }
    if (base.size() == 4 &&
        (EqualsNoCase(base.substr(0, 3), "COM") || EqualsNoCase(base.substr(0, 3), "LPT")) &&
        base[3] >= '1' && base[3] <= '9') {
        return true;
    }
    return false;
}

} // namespace

EntryKind KindOf(DWORD attributes) {
    if (attributes & DirectoryBit) {
        return EntryKind::Directory;
    }
    if (attributes & FileBits) {
        return EntryKind::File;
    }
    return EntryKind::Other;
}

std::optional<std::uint64_t> ParseDecimalField64(const std::uint8_t* field, std::size_t width) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < width && field[i] != 0; ++i) {
        if (field[i] < '0' || field[i] > '9') {
            return std::nullopt;
        }
        const unsigned digit = field[i] - '0';
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    for (; i < width; ++i) {
        if (field[i] != 0) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<DWORD> ParseDecimalField(const std::uint8_t* field, std::size_t width) {
    const auto value = ParseDecimalField64(field, width);
    if (!value || *value > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<DWORD>(*value);
}

void PutDecimalField(Block& block, std::size_t offset, std::uint64_t value) {
    const std::string text = std::to_string(value);
    std::memcpy(block.data() + offset, text.data(), text.size());
}

void EncodeHeader(const EntryHeader& header, Block& block) {
    std::memcpy(block.data(), header.path.data(), std::min(header.path.size(), PathFieldSize));
    PutDecimalField(block, AttributesOffset, header.attributes);
    const FILETIME* times[] = {&header.creationTime, &header.lastAccessTime, &header.lastWriteTime};
    std::size_t offset = CreationLowOffset;
    for (const FILETIME* t : times) {
        PutDecimalField(block, offset, t->dwLowDateTime);
        PutDecimalField(block, offset + NumberFieldSize, t->dwHighDateTime);
        offset += 2 * NumberFieldSize;
    }
}

DecodedHeader DecodeHeader(const std::uint8_t* block) {
    DecodedHeader d;
    const auto* path = reinterpret_cast<const char*>(block);
    d.header.path.assign(path, strnlen(path, PathFieldSize));
    const auto attributes = ParseDecimalField(block + AttributesOffset, NumberFieldSize);
    d.attributesOk = attributes.has_value();
    d.header.attributes = attributes.value_or(0);
    FILETIME* times[] = {&d.header.creationTime, &d.header.lastAccessTime, &d.header.lastWriteTime};
    std::size_t offset = CreationLowOffset;
    for (FILETIME* t : times) {
        const auto low = ParseDecimalField(block + offset, NumberFieldSize);
        const auto high = ParseDecimalField(block + offset + NumberFieldSize, NumberFieldSize);
        d.timesOk = d.timesOk && low && high;
        *t = FILETIME{low.value_or(0), high.value_or(0)};
        offset += 2 * NumberFieldSize;
    }
    return d;
}

std::string VersionText(const std::uint8_t* block, std::size_t available) {
    const auto* text = reinterpret_cast<const char*>(block);
    return std::string(text, strnlen(text, std::min(available, VersionFieldSize)));
}

bool IsDriveRoot(std::string_view root) {
    return root.size() == 3 && Upper(root[0]) >= 'A' && Upper(root[0]) <= 'Z' && root[1] == ':' &&
           root[2] == '\\';
}

std::string UnsafePathReason(std::string_view storedPath) {
    if (storedPath.size() < 3 || !IsDriveRoot(storedPath.substr(0, 3))) {
        return "does not begin with a drive root";
    }
    std::string reason;
    int names = 0;
    ForEachName(storedPath.substr(3), [&](std::string_view name) {
        ++names;
        if (name == "." || name == "..") {
            reason = "has a '" + std::string(name) + "' component";
        } else if (name.back() == '.' || name.back() == ' ') {
            reason = "has a name ending in a dot or blank";
        } else if (IsDeviceName(name)) {
            reason = "names a device";
        } else {
            for (char c : name) {
                const auto u = static_cast<unsigned char>(c);
                if (u < 0x20 || std::strchr("/:<>\"|?*", c) != nullptr) {
                    reason = "has a forbidden character in a name";
                    break;
                }
            }
        }
        return reason.empty();
    });
    if (reason.empty() && names == 0) {
        reason = "names no entry below the root";
    }
    return reason;
}

bool IsUnderPromptDirectory(std::string_view storedPath) {
    if (storedPath.size() < 3) {
        return false;
    }
    std::vector<std::string_view> names;
    ForEachName(storedPath.substr(3), [&](std::string_view name) {
        names.push_back(name);
        return names.size() < 3;
    });
    // The directory's own entry ends in a backslash; a file named PROMPTS would be no prompt.
    return names.size() >= 2 && EqualsNoCase(names[0], "VM") && EqualsNoCase(names[1], "PROMPTS") &&
           (names.size() > 2 || storedPath.back() == '\\');
}

bool IsPromptUpdateEntry(std::string_view storedPath) {
    if (IsUnderPromptDirectory(storedPath)) {
        return true;
    }
    std::vector<std::string_view> names;
    if (storedPath.size() > 3) {
        ForEachName(storedPath.substr(3), [&](std::string_view name) {
            names.push_back(name);
            return names.size() < 2;
        });
    }
    return names.size() == 1 && EqualsNoCase(names[0], "VM") && storedPath.back() == '\\';
}

std::uint64_t StreamRecordHeader::Length() const {
    const std::uint64_t fixed = std::uint64_t{BackupStreamHeaderSize} + nameSize;
    return size > UINT64_MAX - fixed ? UINT64_MAX : fixed + size;
}

StreamRecordHeader DecodeStreamRecordHeader(const std::uint8_t* bytes) {
    StreamRecordHeader h;
    h.id = Le32(bytes);
    h.attributes = Le32(bytes + 4);
    h.size = std::uint64_t{Le32(bytes + 8)} | (std::uint64_t{Le32(bytes + 12)} << 32);
    h.nameSize = Le32(bytes + 16);
    return h;
}

bool IsPromptVersionFile(std::string_view storedPath) {
    const std::size_t slash = storedPath.find_last_of('\\');
    return slash != std::string_view::npos && IsUnderPromptDirectory(storedPath) &&
           EqualsNoCase(storedPath.substr(slash + 1), "VERSION.TXT");
}

bool IsShownVersionFile(std::string_view storedPath) {
    static constexpr std::string_view Expected[] = {"VM", "PROMPTS", "0", "0", "0", "VERSION.TXT"};
    std::size_t i = 0;
    bool same = storedPath.size() >= 3;
    if (same) {
        ForEachName(storedPath.substr(3), [&](std::string_view name) {
            same = i < std::size(Expected) && EqualsNoCase(name, Expected[i++]);
            return same;
        });
    }
    return same && i == std::size(Expected);
}

} // namespace archive
