// What the host PC does with its card the same way on every system: it empties it through the
// platform under test, as a technician's PC would see it.
#include "platform/api/LastError.h"
#include "tests/support/HostPc.h"

#include <string>
#include <vector>

namespace fktest {

bool HostPc::EmptyCard(std::string* why) {
    platform::FileSystem& fs = platform_->Files();
    platform::FindData data;
    const platform::Handle h = fs.FindFirstFile("E:\\*", &data);
    if (h == platform::InvalidHandle) {
        // An empty root has no entries at all (no "." or "..").
        if (platform::GetLastError() == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        *why = "cannot list E:\\, error " + std::to_string(platform::GetLastError());
        return false;
    }
    std::vector<std::string> names;
    do {
        if (data.fileName != "." && data.fileName != "..") {
            names.push_back(data.fileName);
        }
    } while (fs.FindNextFile(h, &data));
    fs.FindClose(h);
    for (const std::string& name : names) {
        if (const DWORD error = fs.DeleteTree("E:\\" + name)) {
            *why = "cannot delete E:\\" + name + ", error " + std::to_string(error);
            return false;
        }
    }
    return true;
}

} // namespace fktest
