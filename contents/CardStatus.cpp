// The card's prompt versions and the status refresh that every operation runs.
#include "app/flashkeeper3dlg.h"

#include <array>

namespace {

// The version file of each language slot, below the card root: 0 English (US), 1 Japanese,
// 2 Spanish, 3 English (UK).
constexpr std::array<const char*, 4> VersionFiles = {
    "VM\\PROMPTS\\0\\0\\0\\VERSION.TXT",
    "VM\\PROMPTS\\0\\1\\0\\VERSION.TXT",
    "VM\\PROMPTS\\0\\2\\0\\VERSION.TXT",
    "VM\\PROMPTS\\0\\3\\0\\VERSION.TXT",
};
constexpr std::size_t MaxPathLength = 255;
constexpr DWORD MaxVersionLength = 49;
constexpr std::size_t FormatBufferLength = 99;

// The first line of a version file: at most 49 characters, up to (not including) the first line
// feed; a carriage return before it stays. The text ends at a NUL byte, as a C string would.
// A file that cannot be opened or read gives the empty text. Others may have the file open, as
// for any plain read of a text file.
std::string ReadVersionLine(platform::FileSystem& files, const std::string& path) {
    const platform::Handle h =
        files.CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (h == platform::InvalidHandle) {
        return {};
    }
    std::string text;
    char buffer[MaxVersionLength];
    bool readFailed = false;
    while (text.size() < MaxVersionLength) {
        DWORD read = 0;
        if (!files.ReadFile(h, buffer, MaxVersionLength - static_cast<DWORD>(text.size()), &read)) {
            readFailed = true;
            break;
        }
        if (read == 0) {
            break;
        }
        text.append(buffer, read);
    }
    files.CloseHandle(h);
    if (readFailed) {
        return {};
    }
    const std::size_t end = text.find_first_of(std::string_view("\n\0", 2));
    if (end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

} // namespace

void CardUtilityDialog::RefreshCardStatus() {
    OnDeviceChange(0, 0);
    SetStateText(SelectedSlotHasDrive() ? "Ready" : "Insert Card");

    if (!SelectedSlotHasDrive()) {
        promptVersion = "";
        cardLanguageVersions = {"UND", "UND", "UND", "UND"};
        ShowMembers();
        return;
    }

    const std::string root = CardRoot();
    for (int slot = 0; slot < 4; ++slot) {
        std::string path = root + VersionFiles[static_cast<std::size_t>(slot)];
        if (path.size() > MaxPathLength) {
            path.resize(MaxPathLength);
        }
        platform::FindData found;
        const platform::Handle search = Files().FindFirstFile(path, &found);
        if (search == platform::InvalidHandle) {
            // A missing slot ends the refresh: the later slots are not read and keep their texts.
            // A missing slot 0 means the card has no prompts.
            if (slot == 0) {
                promptVersion = "";
            }
            // Shown at once, so that a later collection from the controls cannot bring the old
            // text back into promptVersion.
            ShowMembers();
            return;
        }
        Files().FindClose(search);

        cardLanguageVersions[static_cast<std::size_t>(slot)] = ReadVersionLine(Files(), path);
        FormatVersionText(slot);
        ShowMembers();
    }
    ShowMembers();
}

void CardUtilityDialog::FormatVersionText(int slot) {
    std::string& version = cardLanguageVersions[static_cast<std::size_t>(slot)];
    const std::string t = version.substr(0, FormatBufferLength);
    std::string result;
    if (t.empty()) {
        result = "UND";
    } else if (t[0] == '0') {
        // 0110 -> 1.10, 01100 -> 1.100, 01 -> "1.", 0 -> "".
        result = t.substr(1);
        if (!result.empty()) {
            result.insert(1, ".");
        }
    } else {
        // 1234 -> 12.34, 12345 -> 12.34, 123 -> 12.3, 12 -> "12.", 1 -> 1. Slots 1 to 3 use the
        // same form; nothing shows them.
        result = t.substr(0, 1);
        if (t.size() >= 2) {
            result += t[1];
            result += '.';
            result += t.substr(2, 2);
        }
    }
    version = result;
    if (slot == 0) {
        promptVersion = result;
    }
}
