// The demo simulated PC: the local installation tree on C:, a plausible voice-mail card in E:,
// an empty card reader G: and a CD-ROM drive D:.
#pragma once

#include <string>

namespace simpc {

// Creates the demo PC in folder (which must not hold a PC yet). promptsArchive and dataArchive
// are copied into C:\ZEL\VoxHarbor\Prompts and \Data when given and present; a given archive
// that does not exist is reported in *warning and left out. False with *error on failure.
bool CreateDemoPc(const std::string& folder, const std::string& promptsArchive,
                  const std::string& dataArchive, std::string* warning, std::string* error);

} // namespace simpc
