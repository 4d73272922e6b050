#include "card/DriveSlots.h"

std::array<std::int32_t, DriveSlotCount> driveCodes = {DriveCodeNone, DriveCodeNone, DriveCodeNone,
                                                       DriveCodeNone, DriveCodeNone, DriveCodeNone};
std::string volumeLabel;
