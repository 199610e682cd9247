#pragma once

#include <string_view>

namespace skylark {

// One line to the system log and to standard error, where a person starting the program from a
// terminal looks first.
void logServerMessage(std::string_view message);

}  // namespace skylark
