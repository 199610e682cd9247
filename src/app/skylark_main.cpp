#include "app/skylark_main.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>

#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "app/desktop_platform.hpp"
#include "app/headless.hpp"
#include "common/allocator_tuning.hpp"
#include "platform/x11/x11_connection.hpp"

namespace skylark {
namespace {

// Whether Qt can show its windows on Wayland here: it needs its Wayland platform plugin.
bool qtHasWaylandPlugin() {
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

// Chooses Qt's platform for this session, or says why no desktop can be shown. Qt aborts the
// process when its platform cannot open the display, so the display is tried here first.
// X11 (also Xwayland) comes first: the X11 capture and XEmbed trays need Qt's windows there.
std::optional<std::string> chooseDesktopPlatform() {
    if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform) {
        return std::nullopt;  // chosen by the person; Qt reports its own failures
    }
    std::string error;
    if (x11::Connection::open({}, error) != nullptr) {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        return std::nullopt;
    }
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
        if (qtHasWaylandPlugin()) {
            setenv("QT_QPA_PLATFORM", "wayland", 1);
            return std::nullopt;
        }
        return error + " Qt's Wayland platform (qt6-wayland) is not installed.";
    }
    return error;
}

int runDesktop(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Skylark"));
    QApplication::setDesktopFileName(QStringLiteral("org.skylark.Skylark"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/SkylarkMenu.svg")));
    // The tray icon is the application; closing its windows (the picker, an alert) never quits.
    QApplication::setQuitOnLastWindowClosed(false);

    ShellPlatform platform = desktopShellPlatform();
    const std::function<void()> quitting = platform.quitting;
    AppDelegate delegate(std::move(platform));
    if (!delegate.applicationDidFinishLaunching()) {
        return 1;
    }
    const int status = QApplication::exec();
    // Quitting runs no clean-up: the system ends the capture, the encoder, the sockets and
    // their threads with the process, where destroying a running cast would only wait for them.
    // Only what a TV would otherwise wait for is told first: that its WebRTC session is over.
    if (quitting) {
        quitting();
    }
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

int SkylarkMain::main(int argc, char** argv) {
    keepLargeBlocksMapped();
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

    if (auto reason = chooseDesktopPlatform()) {
        return runHeadless(*reason);
    }
    return runDesktop(argc, argv);
}

}  // namespace skylark
