// flashkeeper3_bench: Backup and Restore of a full card, measured side by side with tar and cat
// on the same tree and the same disk.
//
//   flashkeeper3_bench [--megabytes N] [--work DIR] [--repeat R] [--backup-turns T] [--keep] [--no-verify]
//
// A simulated PC is made in DIR (default ./fk-bench) with a card E: of N millions of bytes
// (512: a VoxHarbor 16 Hour card) filled to about 97 % by a deterministic tree, an empty card F:
// of the same size and the local drive C:. Then, each in its own child process:
//   cat     every file of the card to /dev/null (what reading the card costs at least)
//   backup  the real Backup button: the card into C:\ZEL\VoxHarbor\Backup\BENCH.VHB
//   tar -cf the card folder into an archive beside it
//   restore the real Restore button: the archive onto the empty card F:
//   tar -xf that archive into an empty folder
// Time is wall-clock time of the whole child; peak memory is the child's maximum resident set
// (wait4). The disk is synced (untimed) before every step, so no step pays for another's writes.
// Each row is the best of R runs; Backup and tar -cf run in turn, max(R, T) times each.
//
//   flashkeeper3_bench --host CARD EMPTY [--work DIR] [--repeat R] [--backup-turns T] [--keep] [--no-verify]
//
// The same steps on the host's file services and two mounted cards (the virtual PC's FAT16 cards):
// CARD is filled to about 97 % of its free space, Backup and tar -cf write into DIR, Restore and
// tar -xf go onto EMPTY (emptied before each).
//
//   flashkeeper3_bench --fill CARD
//
// Only fills the mounted card CARD as --host does, and prints what it holds; bench/vm_bench.py
// --reader runs the steps itself (the children: --child OPERATION WORK ARCHIVE --host CARD).
#include "bench/CardTree.h"
#include "bench/Child.h"
#include "platform/sim/SimulatedPc.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
    std::uint64_t megabytes = 512;
    std::string work = "fk-bench";
    int repeat = 1;
    // Backup and tar -cf run in turn at least this often (they are quick; Restore is not).
    int backupTurns = 1;
    bool keep = false;
    bool verify = true;
    std::string hostCard;  // --host: the mounted card to fill and back up
    std::string hostEmpty; // ...and the mounted card to restore onto
    std::string fillCard;  // --fill: only fill this mounted card
};

struct Measure {
    double seconds = 0;
    double cpuSeconds = 0; // user and system time of the child
    long peakKb = 0;
    bool ok = false;
    std::string output; // what the child printed
    // The user and system time of the operation alone (from the button press to its message), as
    // the child prints it; negative for the other steps.
    double operationCpu = -1;
};

void Usage() {
    std::fprintf(
        stderr,
        "usage: flashkeeper3_bench [--megabytes N] [--work DIR] [--repeat R] [--backup-turns T] [--keep]\n"
        "                          [--no-verify]\n"
        "       flashkeeper3_bench --host CARD EMPTY [--work DIR] [--repeat R] [--backup-turns T] [--keep]\n"
        "                          [--no-verify]\n"
        "       flashkeeper3_bench --fill CARD\n");
}

// Runs argv (in dir when not empty), collects its standard output and waits for it.
Measure Run(const std::vector<std::string>& argv, const std::string& dir = {}) {
    Measure m;
    int out[2];
    if (::pipe(out) != 0) {
        std::perror("pipe");
        return m;
    }
    std::fflush(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        return m;
    }
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
            std::perror(dir.c_str());
            ::_exit(127);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::perror(args[0]);
        ::_exit(127);
    }
    ::close(out[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            m.output.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return m;
        }
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKb = usage.ru_maxrss;
    auto secondsOf = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    m.cpuSeconds = secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const std::size_t cpu = m.output.find(", cpu ");
    if (cpu != std::string::npos) {
        m.operationCpu = std::strtod(m.output.c_str() + cpu + 6, nullptr);
    }
    return m;
}

// Folds run m into best, the best so far (first: m is the first run). Each figure is the best of
// the runs: the least CPU time need not come with the least wall time on a loaded machine.
void KeepBest(Measure* best, const Measure& m, bool first) {
    if (first) {
        *best = m;
        return;
    }
    const double cpu = std::min(best->cpuSeconds, m.cpuSeconds);
    const long peak = std::max(best->peakKb, m.peakKb);
    // Negative: not reported by that run.
    const double operationCpu =
        best->operationCpu < 0 || (m.operationCpu >= 0 && m.operationCpu < best->operationCpu)
            ? m.operationCpu
            : best->operationCpu;
    if (m.seconds < best->seconds) {
        *best = m;
    }
    best->cpuSeconds = cpu;
    best->peakKb = peak;
    best->operationCpu = operationCpu;
}

// The best of r runs (the least disturbed by the other users of the machine); prepare runs
// untimed before each.
template <typename Prepare>
Measure Best(int r, Prepare prepare, const std::vector<std::string>& argv, const std::string& dir = {}) {
    Measure best;
    for (int i = 0; i < r; ++i) {
        prepare();
        ::sync();
        const Measure m = Run(argv, dir);
        if (!m.ok) {
            return m;
        }
        KeepBest(&best, m, i == 0);
    }
    return best;
}

// Two steps that are compared with each other, run in turn r times, each the best of its runs:
// under emulation the host's load drifts over minutes, and runs side by side meet the same load.
template <typename PrepareA, typename PrepareB>
std::pair<Measure, Measure> BestInTurn(int r, PrepareA prepareA, const std::vector<std::string>& a,
                                       PrepareB prepareB, const std::vector<std::string>& b) {
    std::pair<Measure, Measure> best;
    for (int i = 0; i < r; ++i) {
        const Measure ma = Best(1, prepareA, a);
        const Measure mb = Best(1, prepareB, b);
        if (!ma.ok || !mb.ok) {
            return {ma, mb};
        }
        KeepBest(&best.first, ma, i == 0);
        KeepBest(&best.second, mb, i == 0);
    }
    return best;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

// The device and file system that hold path (longest mount point that contains it).
std::string DiskOf(const std::string& path) {
    const std::string canonical = fs::canonical(path).string();
    std::ifstream in("/proc/mounts");
    std::string device, mount, type, rest, best = "unknown disk";
    std::size_t bestLength = 0;
    while (in >> device >> mount >> type && std::getline(in, rest)) {
        if (canonical.rfind(mount, 0) == 0 && mount.size() >= bestLength) {
            bestLength = mount.size();
            best = device + " (" + type + ", mounted on " + mount + ")";
        }
    }
    return best;
}

void EmptyFolder(const fs::path& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
}

void Row(const char* name, const Measure& m, double mb, const Measure* anchor) {
    std::printf("  %-16s %7.2f s %6.0f MB/s   cpu %6.2f s   peak %6.1f MB", name, m.seconds,
                m.seconds > 0 ? mb / m.seconds : 0.0, m.cpuSeconds, static_cast<double>(m.peakKb) / 1024.0);
    if (anchor != nullptr && anchor->seconds > 0) {
        std::printf("   %.2fx tar, cpu %.2fx   (%s)", m.seconds / anchor->seconds,
                    m.cpuSeconds / std::max(anchor->cpuSeconds, 1e-9),
                    m.output.substr(0, m.output.find('\n')).c_str());
    }
    std::printf("%s\n", m.ok ? "" : "   FAILED");
}

void EmptyCard(const fs::path& card) {
    for (const auto& entry : fs::directory_iterator(card)) {
        fs::remove_all(entry.path());
    }
}

// The five steps of one run, as each mode sets them up: the full card's folder, Restore's
// destination, the two operations (each a child process) and the preparation of each step.
struct Steps {
    std::string card;                    // cat and tar -cf read it; the restore is compared to it
    std::string restored;                // where Restore writes
    std::vector<std::string> backup;     // the child that backs the card up
    std::vector<std::string> restore;    // the child that restores the archive
    fs::path tarFile;                    // tar -cf writes it, tar -xf reads it
    std::string untar;                   // where tar -xf writes
    std::function<void()> removeArchive; // before each Backup: its archive is a new file
    std::function<void()> emptyRestored; // before each Restore
    std::function<void()> emptyUntar;    // before each tar -xf
};

// What the run is measured against: Backup and Restore each within ratio times tar (in wall time,
// or in CPU time where the wall time is mostly the device's, as on the virtual PC's emulated
// card reader), and (where peakMegabytes is not 0) their peak memory under it.
struct Goals {
    double ratio = 1.0;
    double peakMegabytes = 0;
    bool cpuTime = false;
};

// Runs the steps, prints a row each, the comparison of the restored card and the goals. True when
// every step ran and the restored card matches.
bool MeasureAndReport(const Options& o, double mb, const Steps& s, const Goals& goals) {
    auto nothing = [] {};
    const Measure cat =
        Best(o.repeat, nothing, {"sh", "-c", "find . -type f -print0 | xargs -0 cat >/dev/null"}, s.card);
    // Both archives are new files, as tar's is: replacing an existing one makes ext4 write the
    // new file's blocks out at the rename (its guard against losing both on a crash).
    const auto [backup, tarCreate] =
        BestInTurn(std::max(o.repeat, o.backupTurns), s.removeArchive, s.backup,
                   [&] { fs::remove(s.tarFile); }, {"tar", "-cf", s.tarFile.string(), "-C", s.card, "."});
    const Measure restore = Best(o.repeat, s.emptyRestored, s.restore);
    // The restored card holds the same files as the original, byte for byte (compared before
    // tar -xf, which may write into the same folder).
    bool verified = true;
    if (o.verify && restore.ok) {
        verified = Run({"diff", "-r", "-q", s.card, s.restored}).ok;
    }
    const Measure tarExtract =
        Best(o.repeat, s.emptyUntar, {"tar", "-xf", s.tarFile.string(), "-C", s.untar});

    std::printf("\n");
    Row("cat (read limit)", cat, mb, nullptr);
    Row("tar -cf", tarCreate, mb, nullptr);
    Row("Backup", backup, mb, &tarCreate);
    Row("tar -xf", tarExtract, mb, nullptr);
    Row("Restore", restore, mb, &tarExtract);
    if (o.verify && restore.ok) {
        std::printf("\nrestored card %s the original\n", verified ? "matches" : "DIFFERS FROM");
    }
    auto ratio = [&](const Measure& m, const Measure& anchor) {
        return goals.cpuTime ? m.cpuSeconds / std::max(anchor.cpuSeconds, 1e-9)
                             : m.seconds / std::max(anchor.seconds, 1e-9);
    };
    // In CPU time an operation is what its button costs: the window is open before it is pressed,
    // so the process start (the libraries of the window and of D-Bus) is not part of it. tar's
    // figure keeps its own start.
    auto operationRatio = [&](const Measure& m, const Measure& anchor) {
        return goals.cpuTime && m.operationCpu >= 0 ? m.operationCpu / std::max(anchor.cpuSeconds, 1e-9)
                                                    : ratio(m, anchor);
    };
    const double backupRatio = operationRatio(backup, tarCreate);
    const double restoreRatio = operationRatio(restore, tarExtract);
    auto met = [](bool ok) { return ok ? "met" : "NOT met"; };
    if (goals.cpuTime) {
        std::printf(
            "\nCPU of the operations alone: Backup %.2f s (%.2fx tar -cf), Restore %.2f s (%.2fx tar -xf); "
            "of the whole processes: %.2fx and %.2fx\n",
            backup.operationCpu, backupRatio, restore.operationCpu, restoreRatio, ratio(backup, tarCreate),
            ratio(restore, tarExtract));
    }
    std::printf("\ngoals (%s): Backup within %.2fx tar: %s (%.2fx); Restore within %.2fx tar: %s (%.2fx)",
                goals.cpuTime ? "CPU time of the operation" : "wall time", goals.ratio,
                met(backupRatio <= goals.ratio), backupRatio, goals.ratio, met(restoreRatio <= goals.ratio),
                restoreRatio);
    if (goals.peakMegabytes > 0) {
        const double peakMb = static_cast<double>(std::max(backup.peakKb, restore.peakKb)) / 1024.0;
        std::printf("; peak memory under %.0f MB: %s (%.1f MB)", goals.peakMegabytes,
                    met(peakMb < goals.peakMegabytes), peakMb);
    }
    std::printf("\n");
    return cat.ok && backup.ok && tarCreate.ok && restore.ok && tarExtract.ok && verified;
}

// Fills the mounted card to about 97 % of its free space through the host's file services, with
// C:'s installation tree in work; false with the reason printed.
bool FillHostCard(const fs::path& card, const fs::path& work, struct statfs* st, bench::TreeStats* tree) {
    fs::create_directories(work / "data/Prompts");
    fs::create_directories(work / "data/Data");
    fs::create_directories(work / "backup");
    std::ofstream(work / "data/Prompts/PromptUpdateVer1_2.vhp").flush();
    EmptyCard(card);
    if (::statfs(card.c_str(), st) != 0) {
        std::perror(card.c_str());
        return false;
    }
    const std::uint64_t freeBytes = static_cast<std::uint64_t>(st->f_bavail) * st->f_bsize;
    std::string error;
    auto host = bench::HostPlatform(card.string(), work.string(), &error);
    if (host == nullptr || !bench::MakeCardTree(*host, "E:\\", freeBytes / 100 * 97, tree, &error)) {
        std::fprintf(stderr, "cannot fill the card: %s\n", error.c_str());
        return false;
    }
    return true;
}

int FillMain(const Options& o) {
    const fs::path work = fs::absolute(o.work);
    EmptyFolder(work);
    struct statfs st {};
    bench::TreeStats tree;
    if (!FillHostCard(fs::absolute(o.fillCard), work, &st, &tree)) {
        return 1;
    }
    fs::remove_all(work);
    std::printf("card of %.0f MB: %llu files in %llu folders, %.1f MB of data (largest file %.1f MB)\n",
                static_cast<double>(st.f_blocks) * static_cast<double>(st.f_bsize) / 1e6,
                static_cast<unsigned long long>(tree.files), static_cast<unsigned long long>(tree.folders),
                static_cast<double>(tree.bytes) / 1e6, static_cast<double>(tree.largest) / 1e6);
    return 0;
}

int HostMain(const Options& o) {
    const fs::path work = fs::absolute(o.work);
    const fs::path card = fs::absolute(o.hostCard);
    const fs::path empty = fs::absolute(o.hostEmpty);
    EmptyFolder(work);
    EmptyCard(empty);
    struct statfs st {};
    bench::TreeStats tree;
    if (!FillHostCard(card, work, &st, &tree)) {
        return 1;
    }
    const double mb = static_cast<double>(tree.bytes) / 1e6;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string archive = "C:\\ZEL\\VoxHarbor\\Backup\\BENCH.VHB";
    std::printf("flashkeeper3 benchmark on the host's file services: card of %.0f MB, %llu files in %llu "
                "folders, %.1f MB of data (largest file %.1f MB)\n",
                static_cast<double>(st.f_blocks) * static_cast<double>(st.f_bsize) / 1e6,
                static_cast<unsigned long long>(tree.files), static_cast<unsigned long long>(tree.folders),
                mb, static_cast<double>(tree.largest) / 1e6);
    std::printf("machine: %ld CPUs, %s; card %s; archives in %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
                CpuModel().c_str(), DiskOf(card.string()).c_str(), DiskOf(work.string()).c_str());
    std::printf("best of %d run%s each (Backup and tar -cf: %d in turn)\n", o.repeat,
                o.repeat == 1 ? "" : "s", std::max(o.repeat, o.backupTurns));

    // Restore and tar -xf both go onto the empty card, emptied before each.
    Steps steps;
    steps.card = card.string();
    steps.restored = steps.untar = empty.string();
    steps.backup = {self, "--child", "backup", work.string(), archive, "--host", card.string()};
    steps.restore = {self, "--child", "restore", work.string(), archive, "--host", empty.string()};
    steps.tarFile = work / "card.tar";
    steps.removeArchive = [&] { fs::remove(work / "backup/BENCH.VHB"); };
    steps.emptyRestored = steps.emptyUntar = [&] { EmptyCard(empty); };
    const bool ok = MeasureAndReport(o, mb, steps, Goals{1.0, 0, true});
    if (!o.keep) {
        fs::remove_all(work);
        EmptyCard(card);
        EmptyCard(empty);
    }
    return ok ? 0 : 1;
}

int Main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--megabytes") {
            o.megabytes = std::strtoull(value().c_str(), nullptr, 10);
        } else if (a == "--work") {
            o.work = value();
        } else if (a == "--repeat") {
            o.repeat = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--backup-turns") {
            o.backupTurns = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--no-verify") {
            o.verify = false;
        } else if (a == "--fill") {
            o.fillCard = value();
        } else if (a == "--host") {
            o.hostCard = value();
            o.hostEmpty = value();
        } else {
            Usage();
            return 2;
        }
    }
    if (!o.fillCard.empty()) {
        return FillMain(o);
    }
    if (!o.hostCard.empty()) {
        return HostMain(o);
    }
    if (o.megabytes < 2) {
        std::fprintf(stderr, "--megabytes must be at least 2\n");
        return 2;
    }

    const fs::path work = fs::absolute(o.work);
    const fs::path pc = work / "pc";
    const fs::path tarFile = work / "card.tar";
    const fs::path untar = work / "untar";
    EmptyFolder(work);

    // C: local disk with the installation folders, E: the full card, F: an empty card alike.
    const std::uint64_t capacity = o.megabytes * 1000 * 1000;
    platform::SimPcDescription description;
    auto drive = [&](char letter, platform::SimDriveType type, const std::string& label) {
        platform::SimDriveConfig c;
        c.letter = letter;
        c.type = type;
        c.label = label;
        c.folder = std::string(1, letter);
        c.bytesPerSector = 512;
        c.sectorsPerCluster = 8;
        c.totalClusters = static_cast<DWORD>(capacity / 4096);
        description.drives.push_back(c);
    };
    drive('C', platform::SimDriveType::Fixed, "LOCAL");
    description.drives.back().totalClusters = 0x0FFFFFFF;
    drive('E', platform::SimDriveType::Removable, "VOXCARD");
    drive('F', platform::SimDriveType::Removable, "EMPTY");
    std::string error;
    if (!platform::CreateSimulatedPcFolder(pc.string(), description, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    for (const char* dir : {"C/ZEL/VoxHarbor/Backup", "C/ZEL/VoxHarbor/Prompts", "C/ZEL/VoxHarbor/Data"}) {
        fs::create_directories(pc / dir);
    }
    std::ofstream(pc / "C/ZEL/VoxHarbor/Prompts/PromptUpdateVer1_2.vhp").flush();

    bench::TreeStats tree;
    {
        auto sim = platform::OpenSimulatedPc(pc.string(), &error);
        if (sim == nullptr || !bench::MakeCardTree(*sim, "E:\\", capacity / 100 * 97, &tree, &error)) {
            std::fprintf(stderr, "cannot make the card: %s\n", error.c_str());
            return 1;
        }
    }
    const double mb = static_cast<double>(tree.bytes) / 1e6;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string card = (pc / "E").string();

    std::printf("flashkeeper3 benchmark: card of %llu MB, %llu files in %llu folders, %.1f MB of data "
                "(largest file %.1f MB)\n",
                static_cast<unsigned long long>(o.megabytes), static_cast<unsigned long long>(tree.files),
                static_cast<unsigned long long>(tree.folders), mb, static_cast<double>(tree.largest) / 1e6);
    std::printf("machine: %ld CPUs, %s; disk %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(),
                DiskOf(work.string()).c_str());
    std::printf("best of %d run%s each (Backup and tar -cf: %d in turn): wall time of the whole process, its "
                "user+system time, its peak resident memory\n",
                o.repeat, o.repeat == 1 ? "" : "s", std::max(o.repeat, o.backupTurns));

    Steps steps;
    steps.card = card;
    steps.restored = (pc / "F").string();
    steps.backup = {self, "--child", "backup", pc.string(), "C:\\ZEL\\VoxHarbor\\Backup\\BENCH.VHB"};
    steps.restore = {self, "--child", "restore", pc.string(), "C:\\ZEL\\VoxHarbor\\Backup\\BENCH.VHB"};
    steps.tarFile = tarFile;
    steps.untar = untar.string();
    steps.removeArchive = [&] { fs::remove(pc / "C/ZEL/VoxHarbor/Backup/BENCH.VHB"); };
    steps.emptyRestored = [&] {
        // An empty card again: its folder and its metadata journal.
        EmptyFolder(pc / "F");
        fs::remove(pc / ".meta" / "F.tsv");
    };
    steps.emptyUntar = [&] { EmptyFolder(untar); };
    const bool ok = MeasureAndReport(o, mb, steps, Goals{1.25, 32, false});
    if (!o.keep) {
        fs::remove_all(work);
    }
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0) {
        return bench::RunChild(argc - 2, argv + 2);
    }
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        // File-system errors of the set-up (no room, no permission) end the run with the reason.
        std::fprintf(stderr, "flashkeeper3_bench: %s\n", e.what());
        return 1;
    }
}
