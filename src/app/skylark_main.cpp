#include "app/skylark_main.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QIcon>

#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "app/desktop_platform.hpp"
#include "app/headless.hpp"
#include "platform/x11/x11_connection.hpp"

namespace skylark {
namespace {

// Why no desktop can be shown, or nothing when Qt can open its windows. Qt's X11 platform
// aborts the process when the display cannot be opened, so it is tried here first.
std::optional<std::string> desktopUnavailableReason() {
    if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform) {
        return std::nullopt;  // chosen by the person; Qt reports its own failures
    }
    std::string error;
    if (x11::Connection::open({}, error) == nullptr) {
        return error;
    }
    return std::nullopt;
}

int runDesktop(int argc, char** argv) {
    // Native capture works through X11 (also XWayland), so Qt's windows, the picker's among
    // them, must be on the same X display.
    if (const char* platform = std::getenv("QT_QPA_PLATFORM"); !platform || !*platform) {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Skylark"));
    QApplication::setDesktopFileName(QStringLiteral("org.skylark.Skylark"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/SkylarkMenu.svg")));
    // The tray icon is the application; closing its windows (the picker, an alert) never quits.
    QApplication::setQuitOnLastWindowClosed(false);

    AppDelegate delegate(desktopShellPlatform());
    if (!delegate.applicationDidFinishLaunching()) {
        return 1;
    }
    const int status = QApplication::exec();
    // Quitting runs no clean-up: the system ends the capture, the encoder, the sockets and
    // their threads with the process, where destroying a running cast would only wait for them.
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

int SkylarkMain::main(int argc, char** argv) {
    std::string error;
    const auto options =
        parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "skylark: %s\n%s", error.c_str(), usageText().c_str());
        return 2;
    }
    if (options->help) {
        std::printf("%s", usageText().c_str());
        return 0;
    }
    if (options->version) {
        std::printf("Skylark %s\n", SKYLARK_VERSION);
        return 0;
    }
    // A TV that goes away mid-response must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    if (auto reason = desktopUnavailableReason()) {
        return runHeadless(*reason);
    }
    return runDesktop(argc, argv);
}

}  // namespace skylark
