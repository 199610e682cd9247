#pragma once

namespace skylark {

// The process entry. With a desktop session: the Qt application with its tray icon, menu and
// caster, until "Quit Skylark". Without one: the HTTP service alone (see runHeadless). Either
// way the TV's address is printed on standard output first, and a server that cannot start
// ends the process with status 1 after saying why.
struct SkylarkMain {
    static int main(int argc, char** argv);
};

}  // namespace skylark
