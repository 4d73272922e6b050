// The process-wide registry of named window messages (Platform.h).
#include "platform/api/Platform.h"

#include <cctype>
#include <map>
#include <string>

namespace platform {

UINT RegisterWindowMessage(std::string_view name) {
    // Names compare case-insensitively, as the Windows registry of messages does.
    static std::map<std::string, UINT> registered;
    std::string key;
    for (char c : name) {
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    auto it = registered.find(key);
    if (it != registered.end()) {
        return it->second;
    }
    const UINT id = 0xC000 + static_cast<UINT>(registered.size());
    if (id > 0xFFFF) {
        return 0;
    }
    registered.emplace(key, id);
    return id;
}

} // namespace platform
