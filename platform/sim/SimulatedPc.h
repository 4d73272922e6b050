// The simulated PC: a folder with a description file (pc.ini) and one folder per drive.
//
//   [E:]
//   type = removable        ; removable|fixed|cdrom|remote|ramdisk|unknown
//   folder = E              ; relative to the PC folder (or absolute)
//   media = yes             ; no: an empty card reader
//   label = VOXCARD
//   bytesPerSector = 512
//   sectorsPerCluster = 4
//   totalClusters = 31264
//   reserved = 0            ; bytes taken by "simpc fill"
//   fault = none            ; none|write|read
//   volume = yes            ; whether the volume answers the disk-extents query
//   serial = 1A2B-3C4D      ; the volume serial (optional: one is made from letter and folder)
//
// Attribute words and the three FILETIMEs of every file and folder are kept beside the data in
// <pc>/.meta/<letter>.tsv. Editing pc.ini while the program runs (media pulled or inserted)
// makes file calls on that drive fail with ERROR_NOT_READY within ~100 ms (Refresh: at once)
// and produces device-change events. Handles opened before a medium went away stay dead. A new
// serial with the medium in is another card in the reader: a removal and an arrival. Formatting
// gives the volume a new serial, as a FAT format does.
//
// One SimulatedPc at a time per PC folder: an instance reads the metadata when it opens, so a
// second one sees what the first had recorded by then. Not thread-safe: the program uses it
// from one thread at a time. "reserved" stands for space the card cannot give; formatting
// keeps it.
#pragma once

#include "platform/api/Platform.h"

#include <charconv>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class SimDriveType { Removable, Fixed, Cdrom, Remote, Ramdisk, Unknown };
enum class SimFault { None, Write, Read };

// The words of pc.ini (and simpc) for drive types and faults, and their reading: false, with
// *out untouched, for text that is none of them. Text is compared as given (the words are in
// lower case).
const char* SimDriveTypeName(SimDriveType type);
bool ParseSimDriveType(std::string_view text, SimDriveType* out);
const char* SimFaultName(SimFault fault);
bool ParseSimFault(std::string_view text, SimFault* out);
// A decimal number that is the whole text (no sign, blanks or anything else); T is unsigned.
template <typename T> bool ParseSimNumber(std::string_view text, T* out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, *out);
    return ec == std::errc() && ptr == end;
}

struct SimDriveConfig {
    char letter = 'E';
    SimDriveType type = SimDriveType::Removable;
    std::string folder; // relative to the PC folder, or absolute; default: the letter
    bool media = true;
    std::string label;
    DWORD bytesPerSector = 512;
    DWORD sectorsPerCluster = 4;
    DWORD totalClusters = 31264; // 64,028,672 bytes with the two values above
    std::uint64_t reserved = 0;
    SimFault fault = SimFault::None;
    bool volume = true;
    DWORD serial = 0; // 0: not described; VolumeSerial() makes one

    // The serial the volume reports: the described one, else one made from the letter and the
    // folder (stable across runs, distinct for the cards of one PC).
    DWORD VolumeSerial() const;
    std::uint64_t ClusterBytes() const { return std::uint64_t{bytesPerSector} * sectorsPerCluster; }
    std::uint64_t Capacity() const { return ClusterBytes() * totalClusters; }
};

// The description of a PC (the content of pc.ini).
struct SimPcDescription {
    std::vector<SimDriveConfig> drives;

    SimDriveConfig* Find(char letter);
    const SimDriveConfig* Find(char letter) const;
    // Reads <folder>/pc.ini; false with *error on a missing or malformed file.
    static bool Load(const std::string& pcFolder, SimPcDescription* out, std::string* error);
    // Writes <folder>/pc.ini atomically (temporary file and rename), so that a running program
    // never reads half a description.
    bool Save(const std::string& pcFolder, std::string* error) const;
    std::string ToIni() const;
    static bool ParseIni(std::string_view text, SimPcDescription* out, std::string* error);
};

// Creates a PC folder: pc.ini and one (empty) folder per drive. Existing drive folders are kept.
bool CreateSimulatedPcFolder(const std::string& pcFolder, const SimPcDescription& description,
                             std::string* error);

// Edits of a PC's description (rewrite pc.ini); a program running on the PC notices them.
// False with *error when pc.ini cannot be read or written or the drive is not described.
bool SimInsertMedia(const std::string& pcFolder, char letter, std::string* error);
bool SimEjectMedia(const std::string& pcFolder, char letter, std::string* error);
bool SimSetLabel(const std::string& pcFolder, char letter, const std::string& label, std::string* error);
// Reserves bytes of the drive, as if other data filled it.
bool SimFill(const std::string& pcFolder, char letter, std::uint64_t bytes, std::string* error);
bool SimSetFault(const std::string& pcFolder, char letter, SimFault fault, std::string* error);
// Another card in the reader: the medium in, with a serial the drive has not had just now.
bool SimSwapCard(const std::string& pcFolder, char letter, std::string* error);
// A volume serial other than the given one and never 0: what a format or another card gets.
DWORD NextVolumeSerial(DWORD serial);

class SimulatedPc : public Platform {
public:
    // Re-reads pc.ini now (instead of within ~100 ms), e.g. after a test edited it.
    virtual void Refresh() = 0;
    // Writes pending data and metadata (also done when handles close and at destruction).
    virtual void Flush() = 0;
    // Host folder of a drive ("" when the drive is not described).
    virtual std::string DriveFolder(char letter) = 0;
    // Bytes of a drive's capacity in use by files and folders (cluster-rounded), without reserved.
    virtual std::uint64_t UsedBytes(char letter) = 0;
};

// Opens the simulated PC in folder; null with *error set when its description cannot be read.
std::unique_ptr<SimulatedPc> OpenSimulatedPc(const std::string& folder, std::string* error);

} // namespace platform
