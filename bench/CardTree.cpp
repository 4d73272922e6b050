#include "bench/CardTree.h"

#include "platform/api/LastError.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

// xorshift64*: the same tree on every machine and every run.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 2685821657736338717ULL;
    }
    // Uniform in [lo, hi].
    std::uint64_t Between(std::uint64_t lo, std::uint64_t hi) { return lo + Next() % (hi - lo + 1); }
    // Spread evenly over the orders of magnitude between lo (at least 1) and hi.
    std::uint64_t LogBetween(std::uint64_t lo, std::uint64_t hi) {
        const double a = std::log(static_cast<double>(std::max<std::uint64_t>(lo, 1)));
        const double b = std::log(static_cast<double>(hi));
        const double u = static_cast<double>(Next() >> 11) / static_cast<double>(1ULL << 53);
        return static_cast<std::uint64_t>(std::exp(a + (b - a) * u));
    }

private:
    std::uint64_t state_;
};

class Writer {
public:
    Writer(platform::FileSystem& fs, TreeStats* stats, std::string* error)
        : fs_(fs), stats_(stats), error_(error), buffer_(1 << 20), random_(0x5EED0F1A5C4DULL) {}

    bool Folder(const std::string& path) {
        if (!fs_.CreateDirectory(path) && platform::GetLastError() != ERROR_ALREADY_EXISTS) {
            return Fail("cannot create folder " + path);
        }
        ++stats_->folders;
        return true;
    }

    bool File(const std::string& path, std::uint64_t size) {
        const platform::Handle h = fs_.CreateFile(path, GENERIC_WRITE, FILE_SHARE_NONE, CREATE_ALWAYS, 0);
        if (h == platform::InvalidHandle) {
            return Fail("cannot create " + path);
        }
        std::uint64_t left = size;
        bool ok = true;
        while (ok && left > 0) {
            const auto n = static_cast<DWORD>(std::min<std::uint64_t>(left, buffer_.size()));
            Fill(n);
            DWORD written = 0;
            ok = fs_.WriteFile(h, buffer_.data(), n, &written) && written == n;
            left -= n;
        }
        if (!fs_.CloseHandle(h) || !ok) {
            return Fail("cannot write " + path);
        }
        ++stats_->files;
        stats_->bytes += size;
        stats_->largest = std::max(stats_->largest, size);
        return true;
    }

    Random& random() { return random_; }

private:
    // Audio-like bytes: not compressible, different in every file.
    void Fill(DWORD n) {
        for (DWORD i = 0; i + 8 <= n; i += 8) {
            const std::uint64_t v = random_.Next();
            std::copy_n(reinterpret_cast<const std::uint8_t*>(&v), 8, buffer_.data() + i);
        }
        for (DWORD i = n & ~7u; i < n; ++i) {
            buffer_[i] = static_cast<std::uint8_t>(random_.Next());
        }
    }

    bool Fail(const std::string& what) {
        *error_ = what + " (error " + std::to_string(platform::GetLastError()) + ")";
        return false;
    }

    platform::FileSystem& fs_;
    TreeStats* stats_;
    std::string* error_;
    std::vector<std::uint8_t> buffer_;
    Random random_;
};

std::string Numbered(const char* prefix, unsigned n, const char* suffix) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%04u%s", prefix, n, suffix);
    return name;
}

} // namespace

bool MakeCardTree(platform::Platform& pc, const std::string& root, std::uint64_t dataBytes, TreeStats* stats,
                  std::string* error) {
    *stats = TreeStats{};
    Writer w(pc.Files(), stats, error);
    // Room left on the card, less a cluster for the file's slack.
    auto room = [&]() -> std::uint64_t {
        DWORD sectors = 0, bytes = 0, free = 0, total = 0;
        if (!pc.Drives().GetDiskFreeSpace(root, &sectors, &bytes, &free, &total) || free < 2) {
            return 0;
        }
        return std::uint64_t{free - 1} * sectors * bytes;
    };
    Random& r = w.random();

    // System prompts: about 8 % of the card, four languages, VERSION.TXT in each.
    const std::string prompts = root + "VM\\PROMPTS\\0\\";
    if (!w.Folder(root + "VM") || !w.Folder(root + "VM\\PROMPTS") || !w.Folder(prompts)) {
        return false;
    }
    const std::uint64_t promptBudget = dataBytes / 12;
    std::uint64_t promptBytes = 0;
    for (unsigned slot = 0; slot < 4; ++slot) {
        const std::string lang = prompts + std::to_string(slot) + "\\";
        if (!w.Folder(lang) || !w.Folder(lang + "0")) {
            return false;
        }
        const std::string dir = lang + "0\\";
        if (!w.File(dir + "VERSION.TXT", 6)) {
            return false;
        }
        for (unsigned n = 1; promptBytes < promptBudget * (slot + 1) / 4; ++n) {
            const std::uint64_t size = r.Between(2 * 1024, 64 * 1024);
            if (!w.File(dir + Numbered("P", n, ".WAV"), size)) {
                return false;
            }
            promptBytes += size;
        }
    }

    // Mailboxes: a greeting and a recorded name each, then messages from empty ones (hang-ups)
    // to a few minutes of audio, spread round the boxes until the card holds dataBytes.
    const unsigned boxes = 40;
    const std::string mail = root + "VM\\MAILBOX\\";
    if (!w.Folder(root + "VM\\MAILBOX")) {
        return false;
    }
    // On a full-size card greetings and names take about a tenth; smaller cards get shorter ones.
    const std::uint64_t shrink =
        std::max<std::uint64_t>(1, 500'000'000 / std::max<std::uint64_t>(dataBytes, 1));
    for (unsigned b = 1; b <= boxes; ++b) {
        const std::string box = mail + Numbered("B", b, "");
        if (!w.Folder(box) || !w.File(box + "\\GREETING.WAV", r.Between(20 * 1024, 300 * 1024) / shrink) ||
            !w.File(box + "\\NAME.WAV", r.Between(4 * 1024, 32 * 1024) / shrink)) {
            return false;
        }
    }
    std::vector<unsigned> messages(boxes + 1, 0);
    while (stats->bytes < dataBytes && room() > 0) {
        const auto b = static_cast<unsigned>(r.Between(1, boxes));
        std::uint64_t size = r.Next() % 16 == 0 ? 0 : r.LogBetween(512, 4 * 1024 * 1024);
        size = std::min({size, dataBytes - stats->bytes, room()});
        if (!w.File(mail + Numbered("B", b, "\\") + Numbered("M", ++messages[b], ".WAV"), size)) {
            return false;
        }
    }
    return true;
}

} // namespace bench
