#pragma once

#include <optional>
#include <string>
#include <vector>

namespace skylark {

// The program's own options. Skylark reads no configuration (its port, paths and texts are
// fixed); these only ask for information.
struct CommandLine {
    bool help = false;
    bool version = false;
};

// Parses --help (-h) and --version. Options that begin with a single dash are Qt's (-platform,
// -style, ...) and are left for Qt. Returns nothing and sets `error` for an unknown option.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error);

// The text --help prints.
std::string usageText();

}  // namespace skylark
