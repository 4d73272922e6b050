#include "tools/simpc/DemoPc.h"

#include "platform/api/LastError.h"
#include "platform/sim/SimulatedPc.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace simpc {

namespace {

using namespace platform;

// 2024-03-04 09:30:00 UTC; every entry gets its own time after it, so the demo is the same
// on every run.
constexpr std::uint64_t DemoBaseTime = 133540542000000000ULL;
constexpr std::uint64_t Minute = 600000000ULL;

class Builder {
public:
    Builder(FileSystem& fs, std::string* error) : fs_(fs), error_(error) {}

    bool Directory(const std::string& path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY) {
        if (!fs_.CreateDirectory(path) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return Failed("create directory", path);
        }
        const Handle h =
            fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        if (h == InvalidHandle) {
            return Failed("open directory", path);
        }
        const bool ok = SetTimes(h) && fs_.CloseHandle(h);
        if (!ok) {
            return Failed("set the times of", path);
        }
        return fs_.SetFileAttributes(path, attributes) || Failed("set the attributes of", path);
    }

    bool File(const std::string& path, const std::string& content,
              DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
        const Handle h = fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        if (h == InvalidHandle) {
            return Failed("create", path);
        }
        DWORD written = 0;
        bool ok = fs_.WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written) &&
                  written == content.size();
        ok = ok && SetTimes(h);
        ok = fs_.CloseHandle(h) && ok;
        if (!ok) {
            return Failed("write", path);
        }
        return fs_.SetFileAttributes(path, attributes) || Failed("set the attributes of", path);
    }

private:
    bool SetTimes(Handle h) {
        const std::uint64_t t = DemoBaseTime + Minute * counter_++;
        const FILETIME creation = FILETIME::From(t);
        const FILETIME access = FILETIME::From(t + Minute / 2);
        const FILETIME write = FILETIME::From(t + Minute / 4);
        return fs_.SetFileTime(h, &creation, &access, &write) != FALSE;
    }

    bool Failed(const char* what, const std::string& path) {
        *error_ =
            std::string("cannot ") + what + " " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }

    FileSystem& fs_;
    std::string* error_;
    std::uint64_t counter_ = 0;
};

// Deterministic bytes that look like 8 kHz audio samples.
std::string Audio(unsigned seed, std::size_t size) {
    std::string s(size, '\0');
    std::uint32_t x = 2463534242u ^ (seed * 2654435761u);
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(0x80 + static_cast<int>(x % 33) - 16);
    }
    return s;
}

bool ReadHostFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    *content = text.str();
    return static_cast<bool>(in) || in.eof();
}

} // namespace

bool CreateDemoPc(const std::string& folder, const std::string& promptsArchive,
                  const std::string& dataArchive, std::string* warning, std::string* error) {
    SimPcDescription description;
    SimDriveConfig c;
    c.letter = 'C';
    c.type = SimDriveType::Fixed;
    c.folder = "C";
    c.label = "LOCAL DISK";
    c.sectorsPerCluster = 8;
    c.totalClusters = 8 * 1024 * 1024; // 32 GiB
    SimDriveConfig d;
    d.letter = 'D';
    d.type = SimDriveType::Cdrom;
    d.folder = "D";
    d.label = "SOFTWARE";
    d.totalClusters = 166400;
    SimDriveConfig e;
    e.letter = 'E';
    e.folder = "E";
    e.label = "VOXCARD"; // geometry of a 64,028,672-byte card (the defaults)
    SimDriveConfig g;
    g.letter = 'G';
    g.folder = "G";
    g.media = false;
    description.drives = {c, d, e, g};
    if (!CreateSimulatedPcFolder(folder, description, error)) {
        return false;
    }
    auto pc = OpenSimulatedPc(folder, error);
    if (pc == nullptr) {
        return false;
    }
    FileSystem& fs = pc->Files();
    Builder b(fs, error);

    // The local installation tree.
    for (const char* dir : {"C:\\ZEL", "C:\\ZEL\\VoxHarbor", "C:\\ZEL\\VoxHarbor\\Backup",
                            "C:\\ZEL\\VoxHarbor\\Prompts", "C:\\ZEL\\VoxHarbor\\Data"}) {
        if (!b.Directory(dir)) {
            return false;
        }
    }
    const std::pair<std::string, std::string> archives[] = {
        {promptsArchive, "C:\\ZEL\\VoxHarbor\\Prompts\\PromptUpdateVer1_2.vhp"},
        {dataArchive, "C:\\ZEL\\VoxHarbor\\Data\\InitializedFileStruct.vhb"}};
    for (const auto& [source, target] : archives) {
        if (source.empty()) {
            continue;
        }
        std::string content;
        if (!ReadHostFile(source, &content)) {
            *warning += "not found, left out: " + source + "\n";
            continue;
        }
        if (!b.File(target, content)) {
            return false;
        }
    }

    // The card: prompts of four language slots, then messages, greetings and recorded names.
    bool ok = b.Directory("E:\\VM") && b.Directory("E:\\VM\\PROMPTS") && b.Directory("E:\\VM\\PROMPTS\\0");
    for (int slot = 0; ok && slot < 4; ++slot) {
        const std::string base = "E:\\VM\\PROMPTS\\0\\" + std::to_string(slot);
        ok = b.Directory(base) && b.Directory(base + "\\0") &&
             b.File(base + "\\0\\VERSION.TXT", slot == 0 ? "0110\r\n" : "0110\n");
        for (int prompt = 1; ok && prompt <= 4; ++prompt) {
            char name[32];
            std::snprintf(name, sizeof name, "\\0\\P%04d.VOX", prompt);
            ok = b.File(base + name, Audio(static_cast<unsigned>(slot * 10 + prompt),
                                           static_cast<std::size_t>(700 + 330 * prompt + 50 * slot)));
        }
    }
    ok = ok && b.Directory("E:\\VM\\MSG") && b.Directory("E:\\VM\\GREET") && b.Directory("E:\\VM\\NAMES");
    const int mailboxes[] = {100, 101, 102, 205};
    for (int box : mailboxes) {
        const std::string id = std::to_string(box);
        ok = ok && b.Directory("E:\\VM\\MSG\\" + id) && b.Directory("E:\\VM\\GREET\\" + id);
        for (int m = 1; ok && m <= (box % 3) + 1; ++m) {
            char name[32];
            std::snprintf(name, sizeof name, "\\M%04d.VOX", m);
            ok = b.File("E:\\VM\\MSG\\" + id + name,
                        Audio(static_cast<unsigned>(box * 7 + m),
                              static_cast<std::size_t>(1003 + 1024 * m * (box % 5))));
        }
        ok = ok && b.File("E:\\VM\\GREET\\" + id + "\\G0001.VOX", Audio(static_cast<unsigned>(box), 1004)) &&
             b.File("E:\\VM\\NAMES\\N" + id + ".VOX", Audio(static_cast<unsigned>(box + 1), 1005));
    }
    ok = ok && b.File("E:\\VM\\MBOX.DAT", std::string("100\r\n101\r\n102\r\n205\r\n")) &&
         b.File("E:\\VM\\SYSTEM.LOG", std::string(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    if (!ok) {
        return false;
    }
    pc->Flush();
    return true;
}

} // namespace simpc
