#include "OperationTestSupport.h"

#include "platform/api/LastError.h"

#include <gtest/gtest.h>

#include <cstdlib>

using fktest::Scenario;

namespace optest {

std::string Audio(unsigned seed, std::size_t size) {
    std::string s(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

Tree Snapshot(Scenario& s, char letter) {
    Tree tree = fktest::SnapshotTree(s.platform().Files(), std::string(1, letter) + ":\\");
    if (s.onHost() && letter != 'C') {
        // A FAT card keeps creation times, but Linux cannot set them: a restore gives its own.
        // Its access dates move whenever a file is read (this snapshot reads them all, as the
        // backup does); the contract checks that they are set as FAT keeps them.
        for (auto& [path, entry] : tree) {
            entry.creation = FILETIME{};
            entry.lastAccess = FILETIME{};
        }
    }
    return tree;
}

std::vector<std::string> Pcs() {
#ifdef _WIN32
    // The Windows build has no simulated PC: its scenarios run on the Win32 platform over Wine.
    return {"Win32"};
#else
    std::vector<std::string> pcs{"Sim"};
    if (std::getenv("FK_VM_READER") != nullptr) {
        pcs.push_back("Host");
    }
    return pcs;
#endif
}

std::unique_ptr<Scenario> OnEachPc::NewScenario() const {
    if (GetParam() == "Host" || GetParam() == "Win32") {
        auto host = fktest::HostPc::FromEnvironment();
        EXPECT_NE(host, nullptr);
        return std::make_unique<Scenario>(std::move(host));
    }
    return std::make_unique<Scenario>();
}

void Stamp(Scenario& s, const std::string& path, std::uint64_t time, DWORD attributes) {
    platform::FileSystem& fs = s.platform().Files();
    const DWORD current = fs.GetFileAttributes(path);
    ASSERT_NE(current, INVALID_FILE_ATTRIBUTES) << path;
    const bool directory = (current & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (current & FILE_ATTRIBUTE_READONLY) {
        fs.SetFileAttributes(path, current & ~FILE_ATTRIBUTE_READONLY);
    }
    const platform::Handle h = fs.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, OPEN_EXISTING,
                                             directory ? FILE_FLAG_BACKUP_SEMANTICS : 0);
    ASSERT_NE(h, platform::InvalidHandle) << path << ": error " << platform::GetLastError();
    const FILETIME c = FILETIME::From(time);
    const FILETIME a = FILETIME::From(time + 3000000000ULL);
    // A low half above 2^31 catches a signed parse of the stored times.
    const FILETIME w = FILETIME{0xFFFFFFF0u, static_cast<DWORD>(time >> 32)};
    ASSERT_TRUE(fs.SetFileTime(h, &c, &a, &w)) << path;
    fs.CloseHandle(h);
    ASSERT_TRUE(fs.SetFileAttributes(path, attributes)) << path;
}

void FillDemoCard(Scenario& s, char letter) {
    const std::string root = std::string(1, letter) + ":\\";
    auto card = s.card(letter);
    std::vector<std::pair<std::string, DWORD>> entries;
    for (int slot = 0; slot < 4; ++slot) {
        const std::string base = "VM\\PROMPTS\\0\\" + std::to_string(slot) + "\\0\\";
        card.file(base + "VERSION.TXT", slot == 0 ? "0110\r\n" : "0110\n");
        for (int prompt = 1; prompt <= 3; ++prompt) {
            const std::string name = base + "P000" + std::to_string(prompt) + ".VOX";
            card.file(name, Audio(static_cast<unsigned>(slot * 10 + prompt),
                                  static_cast<std::size_t>(700 + 330 * prompt + 50 * slot)));
        }
    }
    for (int box : {100, 101, 205}) {
        const std::string id = std::to_string(box);
        for (int m = 1; m <= box % 3 + 1; ++m) {
            card.file("VM\\MSG\\" + id + "\\M000" + std::to_string(m) + ".VOX",
                      Audio(static_cast<unsigned>(box * 7 + m), static_cast<std::size_t>(1003 + 1024 * m)));
        }
        card.file("VM\\GREET\\" + id + "\\G0001.VOX", Audio(static_cast<unsigned>(box), 1004));
        card.file("VM\\NAMES\\N" + id + ".VOX", Audio(static_cast<unsigned>(box + 1), 1005));
    }
    card.directory("VM\\EMPTY");
    // Its backup stream (20-byte record header + data) is exactly one block.
    card.file("VM\\MBOX.DAT", std::string(1024 - 20, 'm'));
    card.file("VM\\SYSTEM.LOG", "");
    card.file("ROOT.CFG", "cfg");

    // Times and attributes last, deepest first, so that creating children moves no parent's times.
    const Tree tree = Snapshot(s, letter);
    std::uint64_t t = 130000000000000000ULL;
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        DWORD attributes = it->second.attributes & FILE_ATTRIBUTE_DIRECTORY ? FILE_ATTRIBUTE_DIRECTORY
                                                                            : FILE_ATTRIBUTE_ARCHIVE;
        if (it->first == "VM\\SYSTEM.LOG") {
            attributes |= FILE_ATTRIBUTE_HIDDEN;
        }
        if (it->first == "VM\\MBOX.DAT") {
            attributes |= FILE_ATTRIBUTE_READONLY;
        }
        if (it->first == "VM\\NAMES") {
            attributes |= FILE_ATTRIBUTE_SYSTEM;
        }
        Stamp(s, root + it->first, t, attributes);
        t += 6000000000ULL;
    }
    if (!s.onHost()) {
        s.pc().Flush();
    }
}

std::string Question(const std::string& archiveVersion, const std::string& cardVersion) {
    return "The Prompt Update is version " + archiveVersion + " and the VoxHarbor Card prompts are version " +
           cardVersion + ".  Would you like to replace the VoxHarbor Card prompts with version " +
           archiveVersion + "?";
}

void SetUpRung(Scenario& s, Rung rung) {
    s.removeDrive('G');
    s.card('E').prompts("0110");
    s.start();
    if (rung == Rung::NotSelected) {
        // The local tree missing too: the device check comes first.
        s.pc().Files().DeleteTree("C:\\ZEL");
        return;
    }
    s.selectCard(0);
    ASSERT_EQ(s.field(ControlId::Status), "Ready");
    ASSERT_EQ(s.messages(), fktest::Texts{});
    if (rung == Rung::NoMediaFirstProbe || rung == Rung::NoMediaSecondProbe || rung == Rung::NoDrive) {
        // The card checks come before the local ones: with the local tree gone too, the card's
        // message is the one shown.
        ASSERT_EQ(s.pc().Files().DeleteTree("C:\\ZEL\\VoxHarbor"), 0u);
    }
    switch (rung) {
    case Rung::NotSelected:
        break;
    case Rung::NoMediaFirstProbe:
        s.card('E').media(false);
        break;
    case Rung::NoMediaSecondProbe: {
        auto opens = std::make_shared<int>(0);
        s.setCallFault([opens](platform::FileCall call, std::string_view path) -> DWORD {
            if (call == platform::FileCall::Open && path == "E:\\" && ++*opens >= 2) {
                return ERROR_NOT_READY;
            }
            return 0;
        });
        break;
    }
    case Rung::NoDrive:
        s.unplug('E');
        break;
    case Rung::BackupDirMissing:
        ASSERT_EQ(s.pc().Files().DeleteTree("C:\\ZEL\\VoxHarbor"), 0u);
        break;
    case Rung::PromptsDirMissing:
    case Rung::DataDirMissing: {
        const std::string dir =
            rung == Rung::PromptsDirMissing ? "C:\\ZEL\\VoxHarbor\\Prompts" : "C:\\ZEL\\VoxHarbor\\Data";
        s.setCallFault([dir](platform::FileCall call, std::string_view path) -> DWORD {
            return call == platform::FileCall::Open && path == dir ? ERROR_PATH_NOT_FOUND : 0;
        });
        break;
    }
    }
}

} // namespace optest
