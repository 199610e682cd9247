#pragma once

#include <string>

namespace skylark {

// Skylark without a desktop: serves the HTTP service alone, prints the TV's address and that
// native sharing needs a desktop session (`reason`, a sentence, says what is missing), and runs
// until SIGINT or SIGTERM. Returns the process's exit status: 0 after a signal, 1 when the server
// could not start.
int runHeadless(const std::string& reason);

}  // namespace skylark
