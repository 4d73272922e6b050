// A dialog template as the Windows dialog manager reads it (DLGTEMPLATEEX and its
// DLGITEMTEMPLATEEX items, in memory), made from the same template data the other views use.
#pragma once

#include "platform/api/Templates.h"

#include <cstdint>
#include <vector>

namespace platform::win32 {

// iconId: the icon resource an Icon control shows.
std::vector<std::uint8_t> DialogTemplateBytes(const DialogTemplate& dialog, int iconId);

} // namespace platform::win32
