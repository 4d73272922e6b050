#include "platform/common/WinPath.h"

#include <algorithm>
#include <cctype>

namespace platform {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Characters Windows refuses in a file name besides the separators: control characters, <>:"| and,
// unless allowed, the wildcards.
bool IsForbiddenNameChar(char c, bool allowWildcards) {
    if (c == '*' || c == '?') {
        return !allowWildcards;
    }
    return static_cast<unsigned char>(c) < 0x20 ||
           std::string_view("<>:\"|").find(c) != std::string_view::npos;
}

bool MatchFrom(std::string_view name, std::string_view pattern) {
    // Iterative glob with backtracking to the last '*'.
    size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

} // namespace

std::string WinPath::Root() const {
    if (isHost) {
        return "/";
    }
    return std::string(1, drive) + ":\\";
}

std::string WinPath::ToString() const {
    if (isHost) {
        return hostPath;
    }
    std::string s = Root();
    for (size_t i = 0; i < components.size(); ++i) {
        if (i != 0) {
            s += '\\';
        }
        s += components[i];
    }
    return s;
}

std::string WinPath::Relative() const {
    std::string s;
    for (size_t i = 0; i < components.size(); ++i) {
        if (i != 0) {
            s += '/';
        }
        s += components[i];
    }
    return s;
}

bool IsHostAbsolute(std::string_view path) {
    return !path.empty() && path[0] == '/';
}

DWORD ParseWinPath(std::string_view text, WinPath* out, bool allowWildcards) {
    *out = WinPath{};
    if (text.find('\0') != std::string_view::npos) {
        return ERROR_ACCESS_DENIED;
    }
    if (IsHostAbsolute(text)) {
        out->isHost = true;
        out->hostPath = std::string(text);
        out->trailingSeparator = text.size() > 1 && text.back() == '/';
        return ERROR_SUCCESS;
    }
    if (text.size() < 2 || text[1] != ':' || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        // A relative path or a device name: nothing here to resolve it against.
        return ERROR_PATH_NOT_FOUND;
    }
    out->drive = Upper(text[0]);
    std::string_view rest = text.substr(2);
    size_t i = 0;
    std::vector<std::string_view> parts;
    while (i < rest.size()) {
        while (i < rest.size() && IsSeparator(rest[i])) {
            ++i;
        }
        size_t start = i;
        while (i < rest.size() && !IsSeparator(rest[i])) {
            ++i;
        }
        if (i > start) {
            parts.push_back(rest.substr(start, i - start));
        }
    }
    out->trailingSeparator = !rest.empty() && IsSeparator(rest.back()) && !parts.empty();
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string_view part = parts[k];
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            return ERROR_ACCESS_DENIED;
        }
        const bool last = k + 1 == parts.size();
        for (char c : part) {
            if (IsForbiddenNameChar(c, allowWildcards && last)) {
                return ERROR_INVALID_NAME;
            }
        }
        out->components.emplace_back(part);
    }
    return ERROR_SUCCESS;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool LessNoCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(Lower(x)) < static_cast<unsigned char>(Lower(y));
    });
}

std::string ToUpperAscii(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), Upper);
    return s;
}

std::string ToLowerAscii(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), Lower);
    return s;
}

bool HasWildcards(std::string_view text) {
    return text.find_first_of("*?") != std::string_view::npos;
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
    if (pattern == "*" || pattern == "*.*") {
        return true;
    }
    if (MatchFrom(name, pattern)) {
        return true;
    }
    // "NAME.*" also matches "NAME", as the Windows matcher lets ".*" match nothing.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
        name.find('.') == std::string_view::npos) {
        return MatchFrom(name, pattern.substr(0, pattern.size() - 2));
    }
    return false;
}

namespace {

constexpr std::string_view VolumeNamePrefix = "\\\\?\\Volume{";

char DriveLetter(char c) {
    const char upper = Upper(c);
    return upper >= 'A' && upper <= 'Z' ? upper : 0;
}

// The letter of "\\?\Volume{<tag>-X}" followed by end, the part that names a made-up volume.
char LetterOfVolumeName(std::string_view name, std::string_view tag, std::string_view end) {
    const std::string head = std::string(VolumeNamePrefix).append(tag) + "-";
    const std::string tail = std::string("}").append(end);
    if (name.size() != head.size() + 1 + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) {
        return 0;
    }
    return DriveLetter(name[head.size()]);
}

} // namespace

std::string MadeUpVolumeName(std::string_view tag, char letter) {
    return std::string(VolumeNamePrefix).append(tag) + "-" + letter + "}\\";
}

char DriveLetterOfRoot(std::string_view root, std::string_view volumeTag) {
    if (root.size() >= 2 && root.size() <= 3 && root[1] == ':' &&
        (root.size() == 2 || IsSeparator(root[2]))) {
        return DriveLetter(root[0]);
    }
    return LetterOfVolumeName(root, volumeTag, "\\");
}

char DriveLetterOfDevice(std::string_view name, std::string_view volumeTag) {
    if (name.size() == 6 && name.starts_with("\\\\.\\") && name[5] == ':') {
        return DriveLetter(name[4]);
    }
    return LetterOfVolumeName(name, volumeTag, "");
}

} // namespace platform
