// The shell on Qt's offscreen platform with fakes of the server and the caster: state reports. Its
// menu's items and commands are tried on real desktops (integration).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <thread>

#include "app/access_prompts.hpp"
#include "app/allowed_devices_window.hpp"
#include "app/app_delegate.hpp"

namespace skylark {
namespace {

// Where the caster reports its state.
ShellCaster::StateHandler stateHandler;

struct FakeServer final : ShellServer {
    void start() override {}
    std::uint16_t port() const override { return 8765; }
    std::string localAddress() const override { return "10.0.0.23"; }
    void requestStop() override {}
    std::shared_ptr<DeviceAccess> access() const override { return access_; }
    std::shared_ptr<DeviceAccess> access_;
};

struct FakeCaster final : ShellCaster {
    void start() override {}
    void stop() override {}
    void setStateChanged(StateHandler handler) override { stateHandler = std::move(handler); }
};

std::unique_ptr<AppDelegate> launch(std::shared_ptr<DeviceAccess> access = nullptr) {
    ShellPlatform platform;
    platform.makeServer = [access](auto) {
        auto server = std::make_unique<FakeServer>();
        server->access_ = access;
        return server;
    };
    platform.makeCaster = [](auto, auto) { return std::make_unique<FakeCaster>(); };
    platform.systemTrayAvailable = [] { return true; };
    auto delegate = std::make_unique<AppDelegate>(std::move(platform));
    EXPECT_TRUE(delegate->applicationDidFinishLaunching());
    return delegate;
}

TEST(Shell, StateReportsReachTheStatusLineInOrderAndNothingOnceTheShellIsGone) {
    auto delegate = launch();
    QAction* statusLine = delegate->statusMenuItem();
    const std::vector<QString> expected = {"Choose an app or the entire screen\u2026",
                                           "Stopping\u2026", "Ready"};
    std::vector<QString> applied;
    QObject::connect(statusLine, &QAction::changed, statusLine,
                     [&] { applied.push_back(statusLine->text()); });
    for (const auto& report : expected) {
        stateHandler(false, report.toStdString());
    }
    EXPECT_EQ(applied, expected);

    // A report made after the shell is gone goes nowhere.
    auto handler = stateHandler;
    delegate.reset();
    handler(false, "later");
}

QAbstractButton* button(QWidget& parent, const QString& text) {
    for (QAbstractButton* b : parent.findChildren<QAbstractButton*>()) {
        if (b->text() == text) {
            return b;
        }
    }
    return nullptr;
}

TEST(Shell, DevicesThatAskGetAQuestionWithTheirCodeAndTheAnswerDecides) {
    auto access = std::make_shared<DeviceAccess>();
    auto delegate = launch(access);
    std::thread([&] {
        access->ask("", "10.0.0.40");
        access->ask("", "10.0.0.41");
    }).join();
    QApplication::processEvents();
    const std::vector<DeviceAccess::Request> waiting = access->waiting();
    const auto& open = delegate->accessPrompts()->open();
    ASSERT_EQ(open.size(), 2u);
    QMessageBox& first = *open.at(waiting[0].key);
    EXPECT_EQ(first.text(), "Let 10.0.0.40 watch your screen?");
    EXPECT_TRUE(first.informativeText().contains(QString::fromStdString(waiting[0].code)));
    button(first, "Allow")->click();
    open.at(waiting[1].key)->reject();  // closed without an answer: denied
    QApplication::processEvents();
    EXPECT_TRUE(open.empty());
    EXPECT_EQ(access->ask(waiting[1].key, "10.0.0.41").state, DeviceAccess::Answer::State::denied);
    ASSERT_EQ(access->saved().allowed.size(), 1u);

    // The menu's "Allowed TVs…" lists it with its player address; Forget makes it ask again.
    for (QAction* item : delegate->statusMenu()->actions()) {
        if (item->text() == "Allowed TVs\u2026") {
            item->trigger();
        }
    }
    AllowedDevicesWindow* window = delegate->allowedDevicesWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->playerAddress("k"), "http://10.0.0.23:8765/device/k/live/stream.m3u8");
    button(*window, "Forget")->click();
    QApplication::processEvents();
    EXPECT_TRUE(access->saved().allowed.empty());
    EXPECT_EQ(window->message(), "10.0.0.40 must ask again to watch.");
    EXPECT_EQ(button(*window, "Forget"), nullptr);
}

}  // namespace
}  // namespace skylark

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
