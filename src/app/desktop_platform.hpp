#pragma once

#include "app/shell_services.hpp"

namespace skylark {

// The shell's parts on a Linux desktop: the HTTP server on port 8765 serving the installed web
// folder, and the native caster with the X11 content picker and capture (the X display of the
// DISPLAY variable, the one Qt shows its windows on), system audio from PulseAudio and the
// FFmpeg segment writer.
ShellPlatform desktopShellPlatform();

}  // namespace skylark
