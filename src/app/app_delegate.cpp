#include "app/app_delegate.hpp"

#include <QAction>
#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QUrl>
#include <exception>

#include "app/access_prompts.hpp"
#include "app/allowed_devices_window.hpp"
#include "app/launch_messages.hpp"
#include "app/no_tray_window.hpp"
#include "app/qt_main_dispatcher.hpp"
#include "app/status_item.hpp"
#include "app/status_menu.hpp"

namespace skylark {
namespace {

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

void showStartFailure(const std::string& reason) {
    QMessageBox alert(QMessageBox::Critical, QStringLiteral("Skylark"),
                      QString::fromUtf8(kStartFailedText), QMessageBox::Ok);
    alert.setInformativeText(toQString(reason));
    alert.exec();
}

}  // namespace

AppDelegate::AppDelegate(ShellPlatform platform)
    : platform_(std::move(platform)),
      main_(std::make_shared<QtMainDispatcher>()),
      liveStore_(std::make_shared<LiveHLSStore>()) {
    if (!platform_.systemTrayAvailable) {
        platform_.systemTrayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
    }
}

AppDelegate::~AppDelegate() {
    // Reports still on their way have nowhere to go.
    main_->close();
    if (server_ != nullptr && server_->access() != nullptr) {
        server_->access()->setListener(nullptr);
    }
}

bool AppDelegate::applicationDidFinishLaunching() {
    std::unique_ptr<ShellServer> server;
    try {
        server = platform_.makeServer(liveStore_);
        server->start();
    } catch (const std::exception& error) {
        const std::string reason =
            startFailureText(error, server ? server->port() : std::uint16_t{0});
        printStartFailure(reason);
        showStartFailure(reason);
        return false;
    }
    server_ = std::move(server);
    printTVAddress(server_->localAddress(), server_->port());

    buildMenuAndStatusItem();
    createCaster();
    watchAccess();
    return true;
}

void AppDelegate::buildMenuAndStatusItem() {
    StatusMenuCommands commands;
    commands.shareScreen = [this] { shareScreen(); };
    commands.openSender = [this] { openSender(); };
    commands.copyAddress = [this] { copyAddress(); };
    commands.stopCasting = [this] { stopCasting(); };
    if (server_->access() != nullptr) {
        commands.allowedDevices = [this] { showAllowedDevices(); };
    }
    commands.quit = [] { QCoreApplication::quit(); };
    commands.menuWillOpen = [this](QMenu& menu) { menuWillOpen(menu); };
    menu_ = buildStatusMenu(toQString(tvAddressLine(server_->localAddress(), server_->port())),
                            std::move(commands));
    statusMenuItem_ = itemWithTag(*menu_, kStatusItemTag);

    // The icon is shown even without a tray host: it docks by itself when one appears.
    statusItem_ = std::make_unique<StatusItem>(*menu_, platform_.menuImage);
    statusItem_->trayIcon().show();
    if (!platform_.systemTrayAvailable()) {
        noTrayWindow_ = std::make_unique<NoTrayWindow>(
            *menu_, [this](QMenu& menu) { menuWillOpen(menu); }, platform_.systemTrayAvailable);
        noTrayWindow_->show();
    }
}

void AppDelegate::createCaster() {
    auto caster = platform_.makeCaster(liveStore_, main_);
    caster_ = std::move(caster);
    installStateHandler();
}

// Reports come on the main thread (ShellCaster's contract), so they apply at once, in order.
void AppDelegate::installStateHandler() {
    QPointer<AppDelegate> self(this);
    caster_->setStateChanged([self](bool /*casting*/, const std::string& text) {
        if (self != nullptr && self->statusMenuItem_ != nullptr) {
            self->statusMenuItem_->setText(toQString(text));
        }
    });
}

void AppDelegate::watchAccess() {
    const std::shared_ptr<DeviceAccess> access = server_->access();
    if (access == nullptr) {
        return;
    }
    accessPrompts_ = std::make_unique<AccessPrompts>(access);
    QPointer<AppDelegate> self(this);
    std::weak_ptr<QtMainDispatcher> main = main_;
    // Changes come from the server's thread (a device asks) and from the questions' own
    // buttons; always posted, so no window is rebuilt under the button that changed it.
    access->setListener([self, main] {
        if (auto dispatcher = main.lock()) {
            dispatcher->post([self] {
                if (self == nullptr) {
                    return;
                }
                self->accessPrompts_->update();
                if (self->allowedDevicesWindow_ != nullptr) {
                    self->allowedDevicesWindow_->refresh();
                }
            });
        }
    });
    accessPrompts_->update();
}

void AppDelegate::showAllowedDevices() {
    if (server_ == nullptr || server_->access() == nullptr) {
        return;
    }
    if (allowedDevicesWindow_ == nullptr) {
        allowedDevicesWindow_ = std::make_unique<AllowedDevicesWindow>(
            server_->access(), [this] { return currentTVAddress(); });
    }
    allowedDevicesWindow_->refresh();
    allowedDevicesWindow_->show();
    allowedDevicesWindow_->raise();
    allowedDevicesWindow_->activateWindow();
}

std::string AppDelegate::currentTVAddress() const {
    return tvAddress(server_->localAddress(), server_->port());
}

void AppDelegate::shareScreen() {
    if (caster_ != nullptr) {
        caster_->start();
    }
}

void AppDelegate::openSender() {
    if (server_ == nullptr) {
        return;
    }
    // The sender page must run on this computer, so loopback rather than the LAN address.
    const QString url = toQString(tvAddress("127.0.0.1", server_->port()));
    if (!QDesktopServices::openUrl(QUrl(url))) {
        // Without a browser the command would do nothing at all; say what to do instead.
        if (browserAlert_ == nullptr) {
            browserAlert_ = std::make_unique<QMessageBox>(
                QMessageBox::Warning, QStringLiteral("Skylark"),
                QStringLiteral("Skylark could not open a web browser"), QMessageBox::Ok);
        }
        browserAlert_->setInformativeText(
            QStringLiteral("Open %1 in a browser on this computer.").arg(url));
        browserAlert_->open();
    }
}

void AppDelegate::copyAddress() {
    if (server_ == nullptr) {
        return;
    }
    auto data = std::make_unique<QMimeData>();
    data->setText(toQString(currentTVAddress()));
    // The clipboard takes ownership and drops whatever it held before.
    QGuiApplication::clipboard()->setMimeData(data.release());
}

void AppDelegate::stopCasting() {
    if (caster_ != nullptr) {
        caster_->stop();
    }
    if (server_ != nullptr) {
        server_->requestStop();
    }
}

void AppDelegate::menuWillOpen(QMenu& menu) {
    if (server_ == nullptr) {
        return;
    }
    if (QAction* addressItem = itemWithTag(menu, kAddressItemTag)) {
        addressItem->setText(toQString(tvAddressLine(server_->localAddress(), server_->port())));
    }
}

QSystemTrayIcon* AppDelegate::statusItem() const {
    return statusItem_ != nullptr ? &statusItem_->trayIcon() : nullptr;
}

bool AppDelegate::statusItemShowsTitle() const {
    return statusItem_ != nullptr && statusItem_->showsTitle();
}

}  // namespace skylark
