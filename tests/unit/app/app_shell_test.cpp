// The shell on Qt's offscreen platform with fakes of the server and the caster: state reports
// from other threads. Its menu's items and commands are tried on real desktops (integration).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <thread>

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
};

struct FakeCaster final : ShellCaster {
    void start() override {}
    void stop() override {}
    void setStateChanged(StateHandler handler) override { stateHandler = std::move(handler); }
};

std::unique_ptr<AppDelegate> launch() {
    ShellPlatform platform;
    platform.makeServer = [](auto) { return std::make_unique<FakeServer>(); };
    platform.makeCaster = [](auto, auto) { return std::make_unique<FakeCaster>(); };
    platform.systemTrayAvailable = [] { return true; };
    auto delegate = std::make_unique<AppDelegate>(std::move(platform));
    EXPECT_TRUE(delegate->applicationDidFinishLaunching());
    return delegate;
}

TEST(Shell, StateReportsFromOtherThreadsReachTheStatusLineOnTheMainThreadInOrder) {
    auto delegate = launch();
    QAction* statusLine = delegate->statusMenuItem();
    const auto main = std::this_thread::get_id();
    const std::vector<std::pair<QString, std::thread::id>> expected = {
        {"Choose an app or the entire screen\u2026", main},
        {"Stopping\u2026", main},
        {"Ready", main}};
    std::vector<std::pair<QString, std::thread::id>> applied;
    QObject::connect(statusLine, &QAction::changed, statusLine,
                     [&] { applied.emplace_back(statusLine->text(), std::this_thread::get_id()); });
    std::thread([&] {
        for (const auto& report : expected) {
            stateHandler(false, report.first.toStdString());
        }
    }).join();
    QApplication::processEvents();  // the reports are all queued by now
    EXPECT_EQ(applied, expected);

    // Reports still on their way, or made after the delegate is gone, go nowhere.
    auto handler = stateHandler;
    std::thread([&] { handler(true, "late"); }).join();
    delegate.reset();
    handler(false, "later");
    QApplication::processEvents();
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
