#include "support/kde_desktop.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace skylark::testing {
namespace {

// Debian 12 keeps the portal backend among the architecture's programs; else beside the portal.
std::string portalBackend() {
    const std::string inLib = "/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde";
    return std::filesystem::exists(inLib) ? inLib : "/usr/libexec/xdg-desktop-portal-kde";
}

// The Linux key codes of the keys the tests type.
unsigned keyCode(unsigned keysym) {
    const unsigned codes[][2] = {
        {kControlKey, 29}, {kAltKey, 56}, {kEscapeKey, 1}, {kReturnKey, 28}};
    for (auto [named, code] : codes) {
        if (named == keysym) {
            return code;
        }
    }
    throw std::invalid_argument("no key code for keysym " + std::to_string(keysym));
}

}  // namespace

std::string KdeDesktop::missing() {
    const bool here = std::filesystem::exists("/usr/bin/kwin_wayland") &&
                      std::filesystem::exists(portalBackend()) &&
                      std::string(SKYLARK_TEST_KWIN_INPUT) != "";
    return here ? "" : "KDE is not installed here (scripts/setup desktops)";
}

KdeDesktop::KdeDesktop(int width, int height) {
    session_.startPipeWire();
    // Maximized windows without a title bar, new ones in the top left corner, in every release.
    std::filesystem::create_directories(session_.runtime() + "/.config");
    std::ofstream(session_.runtime() + "/.config/kwinrc")
        << "[Windows]\nBorderlessMaximizedWindows=true\nPlacement=ZeroCornered\n";
    // The packaged binary carries a file capability these machines refuse to run; a copy has none.
    const std::string kwin = session_.runtime() + "/kwin_wayland";
    std::filesystem::copy_file("/usr/bin/kwin_wayland", kwin);
    // Without permission checks KWin offers its restricted protocols (screen casting to the
    // portal, fake input to us) to clients that no installed desktop file names.
    session_.start({kwin, "--virtual", "--no-lockscreen", "--width", std::to_string(width),
                    "--height", std::to_string(height)},
                   [&] { return session_.owns("org.kde.KWin"); },
                   {"QT_QPA_PLATFORM=offscreen", "KWIN_WAYLAND_NO_PERMISSION_CHECKS=1"});
    std::vector<std::string> kde = clientEnv();
    kde.insert(kde.end(), {"XDG_CURRENT_DESKTOP=KDE", "QT_QPA_PLATFORM=wayland"});
    startPortal(portalBackend(), "org.freedesktop.impl.portal.desktop.kde", kde);
}

void KdeDesktop::input(std::vector<std::string> argv) {
    argv.insert(argv.begin(), SKYLARK_TEST_KWIN_INPUT);
    if (runToEnd(argv, clientEnv()) != 0) {
        throw std::runtime_error("KWin took no fake input");
    }
}

void KdeDesktop::keys(const std::vector<unsigned>& keysyms) {
    std::vector<std::string> argv = {"keys"};
    for (unsigned keysym : keysyms) {
        argv.push_back(std::to_string(keyCode(keysym)));
    }
    input(argv);
}

void KdeDesktop::click(double x, double y) {
    input({"click", std::to_string(x), std::to_string(y)});
}

void KdeDesktop::share() {
    // The dialog opens in the top left corner: a new virtual monitor's card first, this
    // monitor's second (the same spot in the plain and the Breeze style); Return shares.
    click(376, 260);
    keys({kReturnKey});
}

}  // namespace skylark::testing
