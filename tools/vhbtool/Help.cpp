#include "Help.h"

namespace vhbtool {

std::string Wrap(std::string_view text, std::size_t indent, std::size_t width) {
    std::string out;
    std::size_t column = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) {
            continue;
        }
        if (column > indent && column + 1 + word.size() > width) {
            out += '\n';
            column = 0;
        }
        if (column == 0) {
            out.append(indent, ' ');
            column = indent;
        } else {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
    }
    return out + '\n';
}

std::string HelpText(std::string_view version, std::size_t width) {
    std::string out = "usage: vhbtool COMMAND ...\n       vhbtool --help | --version\n\n";
    out += Wrap("vhbtool " + std::string(version) + ": " + std::string(Summary) + ".", 0, width) + "\n";
    out += Wrap(Description, 0, width) + "\n";
    const auto options = [&](std::span<const OptionHelp> list, std::size_t indent) {
        for (const OptionHelp& option : list) {
            out += std::string(indent, ' ') + std::string(option.name) + "\n";
            out += Wrap(option.text, indent + 4, width);
        }
    };
    for (const CommandHelp& command : Commands) {
        out += "  vhbtool " + std::string(command.name) + " " + std::string(command.synopsis) + "\n";
        out += Wrap(command.text, 6, width);
        options(command.options, 6);
    }
    out += "\nOptions instead of a command:\n";
    options(GeneralOptions, 2);
    out += "\nEnvironment:\n";
    for (const EnvironmentHelp& variable : Environment) {
        out += "  " + std::string(variable.name) + "\n" + Wrap(variable.text, 6, width);
    }
    out += "\n" + Wrap("Exit status: " + std::string(ExitStatus), 0, width);
    return out;
}

} // namespace vhbtool
