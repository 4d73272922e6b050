// What the fuzz targets share: a PC in memory (C: a local disk, E: a removable card), so that
// every input gets fresh drives in microseconds, and a hard stop that libFuzzer reports with the
// input that caused it.
#pragma once

#include "platform/memory/MemoryPc.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace fuzz {

// C: a fixed disk of 8 GB; E: a removable card of cardBytes (512-byte clusters) labelled VOXCARD.
// Its clock is fixed, so that the same input always gives the same drives.
std::unique_ptr<platform::MemoryPc> MakePc(std::uint64_t cardBytes);

// Writes a file through the PC's file services (its parent folders are created first unless
// makeFolders is false); aborts on failure.
void PutFile(platform::FileSystem& fs, const std::string& windowsPath, std::string_view content,
             bool makeFolders = true);

// Opens a file for reading as the operations open an archive (no sharing, existing only) and
// takes its size; aborts on failure.
platform::Handle OpenForReading(platform::FileSystem& fs, const std::string& windowsPath,
                                std::uint64_t* size);

// Aborts the process with the message: libFuzzer saves the input as a crash.
[[noreturn]] void Die(const std::string& message);

} // namespace fuzz
