// Writes the prompt recordings of the installation archives: small 8 kHz, 8-bit mono WAV files,
// one short tone sequence per prompt, computed with integers only so that every build makes
// the same bytes.
//
//   promptgen FOLDER VERSION SLOT...   writes FOLDER/VM/PROMPTS/0/<slot>/0/Pnnn.WAV
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int PromptsPerSlot = 8;
constexpr std::uint32_t SampleRate = 8000;

void Put16(std::vector<std::uint8_t>& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}
void PutText(std::vector<std::uint8_t>& b, const char* s) {
    for (; *s; ++s) {
        b.push_back(static_cast<std::uint8_t>(*s));
    }
}

// A triangle wave of the given period (in samples) with a short fade in and out.
std::vector<std::uint8_t> Tone(std::uint32_t samples, std::uint32_t period) {
    std::vector<std::uint8_t> pcm(samples);
    const std::uint32_t fade = samples / 8;
    for (std::uint32_t i = 0; i < samples; ++i) {
        const std::uint32_t phase = (i % period) * 256 / period; // 0..255
        const int tri = phase < 128 ? static_cast<int>(phase) * 2 - 128 : 383 - static_cast<int>(phase) * 2;
        const std::uint32_t edge = std::min(i, samples - 1 - i);
        const int level = edge < fade ? tri * static_cast<int>(edge) / static_cast<int>(fade) : tri;
        pcm[i] = static_cast<std::uint8_t>(128 + level * 3 / 8);
    }
    return pcm;
}

std::vector<std::uint8_t> Wave(const std::vector<std::uint8_t>& pcm) {
    std::vector<std::uint8_t> b;
    PutText(b, "RIFF");
    Put32(b, static_cast<std::uint32_t>(36 + pcm.size()));
    PutText(b, "WAVEfmt ");
    Put32(b, 16);
    Put16(b, 1); // PCM
    Put16(b, 1); // mono
    Put32(b, SampleRate);
    Put32(b, SampleRate); // bytes per second
    Put16(b, 1);          // block align
    Put16(b, 8);          // bits per sample
    PutText(b, "data");
    Put32(b, static_cast<std::uint32_t>(pcm.size()));
    b.insert(b.end(), pcm.begin(), pcm.end());
    return b;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: promptgen FOLDER VERSION SLOT...\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::string version = argv[2];
    std::uint32_t seed = 0;
    for (char c : version) {
        seed = seed * 31 + static_cast<unsigned char>(c);
    }
    for (int a = 3; a < argc; ++a) {
        const std::string slot = argv[a];
        const std::filesystem::path dir = folder / "VM" / "PROMPTS" / "0" / slot / "0";
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            std::cerr << "promptgen: " << dir.string() << ": " << ec.message() << "\n";
            return 1;
        }
        for (int p = 1; p <= PromptsPerSlot; ++p) {
            const std::uint32_t period = 10 + (seed + static_cast<std::uint32_t>(a * 7 + p * 3)) % 30;
            const std::uint32_t samples = SampleRate / 4 + static_cast<std::uint32_t>(p) * 100;
            char name[16];
            std::snprintf(name, sizeof name, "P%03d.WAV", p);
            const std::vector<std::uint8_t> bytes = Wave(Tone(samples, period));
            std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
            out.close();
            if (!out) {
                std::cerr << "promptgen: " << (dir / name).string() << ": cannot be written\n";
                return 1;
            }
        }
    }
    return 0;
}
