// The benchmark's own operations, each run in a child process so that its peak memory is its
// own: the real Backup or Restore button of the main dialog on the simulated PC.
#pragma once

#include "platform/api/Platform.h"

#include <memory>
#include <string>

namespace bench {

// The host's file services with the mounted card's folder as drive E: and C:'s installation tree
// in the work folder (data/ and backup/); null with the reason in *error.
std::unique_ptr<platform::Platform> HostPlatform(const std::string& cardMount, const std::string& work,
                                                 std::string* error);

// argv: "backup" or "restore", the PC folder, the archive's Windows path; or on the host's file
// services: "backup" or "restore", the work folder (data/ and backup/ of C:), the archive's path,
// "--host" and the mounted card's folder (drive E:). Exit status 0 when the operation ended with
// its completion message, 1 otherwise (the messages shown are printed).
int RunChild(int argc, char** argv);

} // namespace bench
