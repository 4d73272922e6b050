// The benchmark's own operations, each run in a child process so that its peak memory is its
// own: the real Backup or Restore button of the main dialog on the simulated PC.
#pragma once

namespace bench {

// argv: "backup" or "restore", the PC folder, the archive's Windows path; or on the host's file
// services: "backup" or "restore", the work folder (data/ and backup/ of C:), the archive's path,
// "--host" and the mounted card's folder (drive E:). Exit status 0 when the operation ended with
// its completion message, 1 otherwise (the messages shown are printed).
int RunChild(int argc, char** argv);

} // namespace bench
