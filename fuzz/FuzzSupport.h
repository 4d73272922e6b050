// What the fuzz targets share: a simulated PC in a temporary folder that lives as long as the
// fuzzing process, and a hard stop that libFuzzer reports with the input that caused it.
#pragma once

#include "platform/sim/SimulatedPc.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// Creates <temp>/fk-fuzz-XXXXXX/pc with C: (local disk) and a removable card E: of cardBytes;
// the folder is removed when the process exits. Returns the PC folder.
std::string MakePcFolder(std::uint64_t cardBytes);

// Empties a drive's folder and forgets its metadata journal, so the next OpenSimulatedPc sees
// a freshly formatted drive.
void WipeDrive(const std::string& pcFolder, char letter);

// Writes a file through the PC's file services (parent folders are created); aborts on failure.
void PutFile(platform::FileSystem& fs, const std::string& windowsPath, std::string_view content);

// Aborts the process with the message: libFuzzer saves the input as a crash.
[[noreturn]] void Die(const std::string& message);

} // namespace fuzz
