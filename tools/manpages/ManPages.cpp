// Writes the manual pages flashkeeper3.1 and vhbtool.1 into a folder:
//   manpages FOLDER VERSION DATE
// vhbtool's page is made from the text `vhbtool --help` prints (tools/vhbtool/Help.h), so a
// command documented there is in the page too; flashkeeper3's page is written here.
#include "tools/vhbtool/Help.h"

#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <string_view>

namespace {

// Text as roff shows it literally: backslashes and hyphen-minus signs escaped, and a line that
// would begin with a control character made harmless.
std::string Roff(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) {
        out.insert(0, "\\&");
    }
    return out;
}

struct Entry {
    std::string_view name;
    std::string_view text;
};

std::string TaggedList(std::span<const Entry> entries) {
    std::string out;
    for (const Entry& e : entries) {
        out += ".TP\n.B " + Roff(e.name) + "\n" + Roff(e.text) + "\n";
    }
    return out;
}

std::string Header(std::string_view name, std::string_view summary, std::string_view version,
                   std::string_view date) {
    std::string upper(name);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return ".TH " + upper + " 1 \"" + std::string(date) + "\" \"flashkeeper3 " + std::string(version) +
           "\" \"User Commands\"\n.SH NAME\n" + std::string(name) + " \\- " + Roff(summary) + "\n";
}

std::string VhbtoolPage(std::string_view version, std::string_view date) {
    using namespace vhbtool;
    std::string out = Header("vhbtool", Summary, version, date) + ".SH SYNOPSIS\n";
    for (const CommandHelp& command : Commands) {
        out += ".B vhbtool " + Roff(command.name) + "\n" + Roff(command.synopsis) + "\n.br\n";
    }
    out += ".B vhbtool\n\\-\\-help | \\-\\-version\n";
    out += ".SH DESCRIPTION\n" + Roff(Description) + "\n.SH COMMANDS\n";
    for (const CommandHelp& command : Commands) {
        out +=
            ".TP\n.B " + Roff(command.name) + " " + Roff(command.synopsis) + "\n" + Roff(command.text) + "\n";
        if (!command.options.empty()) {
            out += ".RS\n";
            for (const OptionHelp& option : command.options) {
                out += ".TP\n.B " + Roff(option.name) + "\n" + Roff(option.text) + "\n";
            }
            out += ".RE\n";
        }
    }
    out += ".SH OPTIONS\n";
    for (const OptionHelp& option : GeneralOptions) {
        out += ".TP\n.B " + Roff(option.name) + "\n" + Roff(option.text) + "\n";
    }
    out += ".SH ENVIRONMENT\n";
    for (const EnvironmentHelp& variable : Environment) {
        out += ".TP\n.B " + Roff(variable.name) + "\n" + Roff(variable.text) + "\n";
    }
    out += ".SH EXIT STATUS\n" + Roff(ExitStatus) + "\n.SH SEE ALSO\n.BR flashkeeper3 (1)\n";
    return out;
}

constexpr Entry ProgramEnvironment[] = {
    {"VOXHARBOR_SIMULATED_PC",
     "A folder holding a simulated PC (a description file pc.ini and one folder per drive letter): the "
     "program works on it instead of this PC's drives."},
    {"VOXHARBOR_SIM_CALL_DELAY_MS",
     "With VOXHARBOR_SIMULATED_PC, every file call waits this many milliseconds (0 to 10000), as a slow "
     "card reader would."},
    {"FLASHKEEPER3_DATA_DIR",
     "The folder holding Prompts and Data, instead of the share/flashkeeper3 folder installed beside the "
     "program."},
    {"XDG_DATA_HOME",
     "The Backup folder is $XDG_DATA_HOME/flashkeeper3/Backup when this is an absolute path, else "
     "$HOME/.local/share/flashkeeper3/Backup."},
    {"DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM",
     "Where the window is shown. Without any of them the program says that there is no display and "
     "ends."},
    {"QT_SCALE_FACTOR",
     "Scales the window and its dialogs, for example 1.5 or 2 on a high-resolution screen."},
};

constexpr Entry ProgramFiles[] = {
    {"/usr/share/flashkeeper3/Prompts/PromptUpdateVer1_2.vhp",
     "The prompt update that Update offers (C:\\ZEL\\VoxHarbor\\Prompts in the program). Without it the "
     "program asks to be installed again."},
    {"/usr/share/flashkeeper3/Data/InitializedFileStruct.vhb",
     "The initial files and prompts that Initialize installs (C:\\ZEL\\VoxHarbor\\Data)."},
    {"~/.local/share/flashkeeper3/Backup/",
     "Where backups are offered to be saved (C:\\ZEL\\VoxHarbor\\Backup); made when the program starts."},
};

std::string ProgramPage(std::string_view version, std::string_view date) {
    std::string out =
        Header("flashkeeper3", "ZEL VoxHarbor Utility, for the CompactFlash card of a voice-mail system",
               version, date);
    out += ".SH SYNOPSIS\n.B flashkeeper3\n.SH DESCRIPTION\n";
    out += Roff("flashkeeper3 services the CompactFlash card of a VoxHarbor voice-mail system in a card "
                "reader. In its one window the technician selects the card among the removable drives "
                "and sees its label, card type and prompt version, then:") +
           "\n";
    constexpr Entry Operations[] = {
        {"Backup",
         "saves the whole card (messages, greetings, recorded names, system prompts) into one greeting & "
         "data archive (.vhb);"},
        {"Restore", "puts such a backup back onto the card, keeping or replacing the card's prompts;"},
        {"Update", "replaces the card's system prompts from a prompt-update archive (.vhp);"},
        {"Initialize", "re-formats the card (FAT) and installs its initial files and prompts."},
    };
    out += TaggedList(Operations);
    out += ".PP\n" +
           Roff("Card readers and other removable drives get drive letters from D: upward; C: is this PC. "
                "With udisks2 running, the program mounts a card when it is selected and formats it for "
                "Initialize; without it, cards must be mounted by hand and cannot be formatted from the "
                "program. Everything the program has to say is said in its window: in message boxes, its "
                "fields and its status bar.") +
           "\n";
    out += ".SH OPTIONS\n" +
           Roff("flashkeeper3 has no options of its own. The Qt toolkit's standard options are "
                "accepted, for example -display, -platform and -style; see the Qt documentation.") +
           "\n";
    out += ".SH ENVIRONMENT\n" + TaggedList(ProgramEnvironment);
    out += ".SH FILES\n" + TaggedList(ProgramFiles);
    out += ".SH EXIT STATUS\n" +
           Roff("0 when the window is closed; 1 when there is no display to show it on, or when the "
                "drives or the simulated PC cannot be set up (the reason is printed on standard error).") +
           "\n.SH SEE ALSO\n.BR vhbtool (1),\n.BR udisksctl (1),\n.BR mkfs.fat (8)\n";
    return out;
}

bool Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "manpages: cannot write " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: manpages FOLDER VERSION DATE\n";
        return 2;
    }
    const std::string folder = argv[1];
    return Write(folder + "/flashkeeper3.1", ProgramPage(argv[2], argv[3])) &&
                   Write(folder + "/vhbtool.1", VhbtoolPage(argv[2], argv[3]))
               ? 0
               : 1;
}
