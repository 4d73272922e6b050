// The simulated PC's description file (pc.ini) as the program reads it. A description that is
// read is written back and read again: the second reading must succeed and describe the same PC
// (what simpc saves is what the program then sees), with each drive letter once, in upper case.
// A description that is refused names its line.
#include "fuzz/FuzzSupport.h"
#include "platform/sim/SimulatedPc.h"

#include <cstdint>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::SimPcDescription first;
    std::string error;
    if (!platform::SimPcDescription::ParseIni(text, &first, &error)) {
        if (error.rfind("pc.ini line ", 0) != 0) {
            fuzz::Die("a refusal that names no line: " + error);
        }
        return 0;
    }
    std::set<char> letters;
    for (const platform::SimDriveConfig& drive : first.drives) {
        if (drive.letter < 'A' || drive.letter > 'Z' || !letters.insert(drive.letter).second) {
            fuzz::Die(std::string("drive letter '") + drive.letter + "' read");
        }
    }
    const std::string written = first.ToIni();
    platform::SimPcDescription second;
    if (!platform::SimPcDescription::ParseIni(written, &second, &error)) {
        fuzz::Die("a description written from one that was read is refused: " + error + "\n" + written);
    }
    if (second.ToIni() != written) {
        fuzz::Die("a description written and read again changed:\n" + written + "\nbecame\n" +
                  second.ToIni());
    }
    return 0;
}
