#pragma once

#include "app/shell_services.hpp"

namespace skylark {

// The shell's parts on a Linux desktop: the HTTP server on port 8765 serving the installed web
// folder, and the native caster with the desktop's capture (the desktop portal and PipeWire on
// Wayland, X11 otherwise, chosen each time the picker is presented), system audio from
// PulseAudio and the FFmpeg segment writer.
ShellPlatform desktopShellPlatform();

}  // namespace skylark
