// pc.ini: reading, writing and the small edits of simpc and the tests.
#include "platform/common/FileRules.h"
#include "platform/common/WinPath.h"
#include "platform/sim/SimulatedPc.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform {

namespace {

std::string Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return std::string(s.substr(first, last - first + 1));
}

// The words of the drive types and faults, in the order of their enums.
constexpr std::array<const char*, 6> DriveTypeWords = {"removable", "fixed",   "cdrom",
                                                       "remote",    "ramdisk", "unknown"};
constexpr std::array<const char*, 3> FaultWords = {"none", "write", "read"};

template <typename Enum, std::size_t N>
bool ParseWord(std::string_view text, const std::array<const char*, N>& words, Enum* out) {
    const auto it = std::find(words.begin(), words.end(), text);
    if (it == words.end()) {
        return false;
    }
    *out = static_cast<Enum>(it - words.begin());
    return true;
}

bool ParseBool(const std::string& value, bool* out) {
    const std::string v = ToLowerAscii(value);
    if (v == "yes" || v == "true" || v == "1" || v == "on") {
        *out = true;
        return true;
    }
    if (v == "no" || v == "false" || v == "0" || v == "off") {
        *out = false;
        return true;
    }
    return false;
}

bool Edit(const std::string& pcFolder, char letter, std::string* error,
          const std::function<void(SimDriveConfig&)>& change) {
    SimPcDescription description;
    if (!SimPcDescription::Load(pcFolder, &description, error)) {
        return false;
    }
    SimDriveConfig* drive = description.Find(letter);
    if (drive == nullptr) {
        *error = std::string("drive ") + static_cast<char>(std::toupper(static_cast<unsigned char>(letter))) +
                 ": is not described in " + pcFolder + "/pc.ini";
        return false;
    }
    change(*drive);
    return description.Save(pcFolder, error);
}

} // namespace

const char* SimDriveTypeName(SimDriveType type) {
    return DriveTypeWords.at(static_cast<std::size_t>(type));
}

bool ParseSimDriveType(std::string_view text, SimDriveType* out) {
    return ParseWord(text, DriveTypeWords, out);
}

const char* SimFaultName(SimFault fault) {
    return FaultWords.at(static_cast<std::size_t>(fault));
}

bool ParseSimFault(std::string_view text, SimFault* out) {
    return ParseWord(text, FaultWords, out);
}

SimDriveConfig* SimPcDescription::Find(char letter) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    const auto it = std::find_if(drives.begin(), drives.end(),
                                 [&](const SimDriveConfig& d) { return d.letter == upper; });
    return it == drives.end() ? nullptr : &*it;
}

const SimDriveConfig* SimPcDescription::Find(char letter) const {
    return const_cast<SimPcDescription*>(this)->Find(letter);
}

std::string SimPcDescription::ToIni() const {
    std::ostringstream out;
    out << "; The simulated PC: one section per drive (see platform/sim/SimulatedPc.h).\n";
    for (const SimDriveConfig& d : drives) {
        out << "\n[" << d.letter << ":]\n";
        out << "type = " << SimDriveTypeName(d.type) << "\n";
        out << "folder = " << (d.folder.empty() ? std::string(1, d.letter) : d.folder) << "\n";
        out << "media = " << (d.media ? "yes" : "no") << "\n";
        out << "label = " << d.label << "\n";
        out << "bytesPerSector = " << d.bytesPerSector << "\n";
        out << "sectorsPerCluster = " << d.sectorsPerCluster << "\n";
        out << "totalClusters = " << d.totalClusters << "\n";
        out << "reserved = " << d.reserved << "\n";
        out << "fault = " << SimFaultName(d.fault) << "\n";
        out << "volume = " << (d.volume ? "yes" : "no") << "\n";
        if (d.serial != 0) {
            out << "serial = " << VolumeSerialText(d.serial) << "\n";
        }
    }
    return out.str();
}

bool SimPcDescription::ParseIni(std::string_view text, SimPcDescription* out, std::string* error) {
    *out = SimPcDescription{};
    SimDriveConfig* current = nullptr;
    int lineNumber = 0;
    for (size_t pos = 0, end = 0; end != std::string_view::npos; pos = end + 1) {
        end = text.find('\n', pos);
        const std::string_view raw = text.substr(pos, end - pos); // the last line runs to the end
        ++lineNumber;
        // Comments start with ';' or '#'; a label may not contain them.
        const auto comment = raw.find_first_of(";#");
        std::string line = Trim(comment == std::string_view::npos ? raw : raw.substr(0, comment));
        if (line.empty()) {
            continue;
        }
        auto fail = [&](const std::string& what) {
            *error = "pc.ini line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 4 || !std::isalpha(static_cast<unsigned char>(line[1])) ||
                line[2] != ':') {
                return fail("expected a drive section like [E:]");
            }
            const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(line[1])));
            if (out->Find(letter) != nullptr) {
                return fail(std::string("drive ") + letter + ": is described twice");
            }
            out->drives.push_back(SimDriveConfig{});
            current = &out->drives.back();
            current->letter = letter;
            current->folder = std::string(1, letter);
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || current == nullptr) {
            return fail("expected key = value inside a drive section");
        }
        const std::string key = ToLowerAscii(Trim(std::string_view(line).substr(0, eq)));
        const std::string value = Trim(std::string_view(line).substr(eq + 1));
        bool ok = true;
        if (key == "type") {
            ok = ParseSimDriveType(ToLowerAscii(value), &current->type);
        } else if (key == "folder") {
            ok = !value.empty();
            current->folder = value;
        } else if (key == "media") {
            ok = ParseBool(value, &current->media);
        } else if (key == "label") {
            current->label = value;
        } else if (key == "bytespersector") {
            ok = ParseSimNumber(value, &current->bytesPerSector) && current->bytesPerSector > 0;
        } else if (key == "sectorspercluster") {
            ok = ParseSimNumber(value, &current->sectorsPerCluster) && current->sectorsPerCluster > 0;
        } else if (key == "totalclusters") {
            ok = ParseSimNumber(value, &current->totalClusters);
        } else if (key == "reserved") {
            ok = ParseSimNumber(value, &current->reserved);
        } else if (key == "fault") {
            ok = ParseSimFault(ToLowerAscii(value), &current->fault);
        } else if (key == "volume") {
            ok = ParseBool(value, &current->volume);
        } else if (key == "serial") {
            ok = ParseVolumeSerial(value, &current->serial);
        } else {
            return fail("unknown key '" + key + "'");
        }
        if (!ok) {
            return fail("bad value '" + value + "' for " + key);
        }
    }
    return true;
}

bool SimPcDescription::Load(const std::string& pcFolder, SimPcDescription* out, std::string* error) {
    const std::string path = pcFolder + "/pc.ini";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return ParseIni(std::string(std::istreambuf_iterator<char>(in), {}), out, error);
}

bool SimPcDescription::Save(const std::string& pcFolder, std::string* error) const {
    const std::string path = pcFolder + "/pc.ini";
    const std::string temp = path + ".tmp";
    const std::string text = ToIni();
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        *error = "cannot write " + temp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool CreateSimulatedPcFolder(const std::string& pcFolder, const SimPcDescription& description,
                             std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(pcFolder, ec);
    if (ec) {
        *error = "cannot create " + pcFolder + ": " + ec.message();
        return false;
    }
    for (const SimDriveConfig& d : description.drives) {
        const std::string folder = d.folder.empty() ? std::string(1, d.letter) : d.folder;
        const std::filesystem::path p =
            folder[0] == '/' ? std::filesystem::path(folder) : std::filesystem::path(pcFolder) / folder;
        std::filesystem::create_directories(p, ec);
        if (ec) {
            *error = "cannot create " + p.string() + ": " + ec.message();
            return false;
        }
    }
    return description.Save(pcFolder, error);
}

bool SimInsertMedia(const std::string& pcFolder, char letter, std::string* error) {
    return Edit(pcFolder, letter, error, [](SimDriveConfig& d) { d.media = true; });
}

bool SimEjectMedia(const std::string& pcFolder, char letter, std::string* error) {
    return Edit(pcFolder, letter, error, [](SimDriveConfig& d) { d.media = false; });
}

bool SimSetLabel(const std::string& pcFolder, char letter, const std::string& label, std::string* error) {
    if (label.find_first_of(";#\r\n") != std::string::npos) {
        *error = "a label cannot hold ';', '#' or line breaks";
        return false;
    }
    return Edit(pcFolder, letter, error, [&](SimDriveConfig& d) { d.label = Trim(label); });
}

bool SimFill(const std::string& pcFolder, char letter, std::uint64_t bytes, std::string* error) {
    return Edit(pcFolder, letter, error, [&](SimDriveConfig& d) { d.reserved = bytes; });
}

bool SimSetFault(const std::string& pcFolder, char letter, SimFault fault, std::string* error) {
    return Edit(pcFolder, letter, error, [&](SimDriveConfig& d) { d.fault = fault; });
}

bool SimSwapCard(const std::string& pcFolder, char letter, std::string* error) {
    return Edit(pcFolder, letter, error, [](SimDriveConfig& d) {
        d.media = true;
        d.serial = NextVolumeSerial(d.VolumeSerial());
    });
}

DWORD SimDriveConfig::VolumeSerial() const {
    if (serial != 0) {
        return serial;
    }
    std::uint32_t h = 2166136261u;
    for (const unsigned char c : std::string(1, letter) + folder) {
        h = (h ^ c) * 16777619u;
    }
    return h != 0 ? h : 1;
}

DWORD NextVolumeSerial(DWORD serial) {
    // Any other value serves; never 0, which reads as "not described".
    const DWORD next = serial * 1664525u + 1013904223u;
    return next != 0 && next != serial ? next : (serial ^ 0x80000000u) | 1u;
}

} // namespace platform
