// Makes the seeds that come from real archives, for the build (target fuzz_seeds):
//   fuzz_seedmaker OUTDIR PROMPTS.vhp DATA.vhb
// OUTDIR/archive gets the two installation archives, a backup of the demo card (written by the
// archive writer from the demo simulated PC's card E:, as Backup writes it), and the damage that
// reaches users, made from each of those: the archive cut short at 50,000 bytes (a copy onto a
// full stick), cut just after the header of its first file (a file without data blocks), and a
// file of 3000 random bytes (a wrong file picked). OUTDIR/pcini gets the demo PC's pc.ini.
#include "archive/Archive.h"
#include "archive/Format.h"
#include "platform/sim/SimulatedPc.h"
#include "tools/simpc/DemoPc.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fsys = std::filesystem;

std::string ReadFile(const fsys::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fsys::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// The demo card as Backup archives it.
std::string DemoCardBackup(const fsys::path& work, const std::string& prompts, const std::string& data) {
    fsys::remove_all(work);
    std::string warning;
    std::string error;
    if (!simpc::CreateDemoPc(work.string(), prompts, data, &warning, &error)) {
        throw std::runtime_error("cannot make the demo PC: " + error);
    }
    auto pc = platform::OpenSimulatedPc(work.string(), &error);
    if (pc == nullptr) {
        throw std::runtime_error("cannot open the demo PC: " + error);
    }
    platform::FileSystem& fs = pc->Files();
    const platform::Handle h =
        fs.CreateFile("C:\\DEMO.VHB", GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
    archive::WriteProblem problem;
    const bool written = h != platform::InvalidHandle &&
                         archive::WriteVersionBlock(fs, h, "1.10", &problem) &&
                         archive::WriteArchiveTree(fs, "E:\\", h, {}, &problem);
    if (h == platform::InvalidHandle || !fs.CloseHandle(h) || !written) {
        throw std::runtime_error("cannot back up the demo card: " + problem.path);
    }
    const std::string backup = ReadFile(pc->DriveFolder('C') + "/DEMO.VHB");
    pc.reset();
    return backup;
}

// The archive up to and including the header block of its first file.
std::string CutAfterFirstFileHeader(const std::string& bytes) {
    for (std::size_t at = archive::BlockSize; at + archive::BlockSize <= bytes.size();
         at += archive::BlockSize) {
        const auto* block = reinterpret_cast<const std::uint8_t*>(bytes.data() + at);
        if (archive::LooksLikeHeader(block) &&
            archive::KindOf(archive::DecodeHeader(block).header.attributes) == archive::EntryKind::File) {
            return bytes.substr(0, at + archive::BlockSize);
        }
    }
    return bytes;
}

std::string RandomBytes(std::size_t size) {
    std::string s(size, '\0');
    std::uint32_t x = 0x9E3779B9u;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fuzz_seedmaker OUTDIR PROMPTS.vhp DATA.vhb\n");
        return 2;
    }
    try {
        const fsys::path out = argv[1];
        fsys::create_directories(out / "archive");
        fsys::create_directories(out / "pcini");
        const std::pair<std::string, std::string> archives[] = {
            {"prompt-update.vhp", ReadFile(argv[2])},
            {"initialized.vhb", ReadFile(argv[3])},
            {"demo-card.vhb", DemoCardBackup(out / "demo-pc", argv[2], argv[3])},
        };
        WriteFile(out / "pcini" / "demo.ini", ReadFile(out / "demo-pc" / "pc.ini"));
        fsys::remove_all(out / "demo-pc");
        for (const auto& [name, bytes] : archives) {
            WriteFile(out / "archive" / name, bytes);
            WriteFile(out / "archive" / ("cut-50000-" + name), bytes.substr(0, 50000));
            WriteFile(out / "archive" / ("no-data-" + name), CutAfterFirstFileHeader(bytes));
        }
        WriteFile(out / "archive" / "random-3000.bin", RandomBytes(3000));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seedmaker: %s\n", e.what());
        return 1;
    }
    return 0;
}
