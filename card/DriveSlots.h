// The six drive slots and the program-wide values kept beside the main dialog.
#pragma once

#include <array>
#include <cstdint>
#include <string>

inline constexpr int DriveSlotCount = 6;
// Drive code of a slot without a drive; codes 0..23 stand for C: to Z:.
inline constexpr std::int32_t DriveCodeNone = 24;

// Drive code of each slot (program-wide, read by the operations).
extern std::array<std::int32_t, DriveSlotCount> driveCodes;
// Volume label last read from the card root (at most 255 characters).
extern std::string volumeLabel;
