#include "app/command_line.hpp"

namespace skylark {

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error) {
    CommandLine options;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument.rfind("--", 0) == 0) {
            error = "unknown option " + argument;
            return std::nullopt;
        }
    }
    return options;
}

std::string usageText() {
    return "Usage: skylark\n"
           "Shares this computer's screen or one application, with its sound, to a TV's web\n"
           "browser. Skylark lives in the system tray and serves on port 8765; the TV opens the\n"
           "address it prints.\n"
           "\n"
           "  --help      show this text\n"
           "  --version   show the version\n"
           "\n"
           "Without a desktop session Skylark serves the web pages only, until it is stopped\n"
           "with Ctrl+C or SIGTERM.\n";
}

}  // namespace skylark
