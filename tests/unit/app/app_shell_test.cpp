// The shell on Qt's offscreen platform with fakes of the server and the caster: the menu as
// built, each command's effect, and state reports from other threads.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <thread>

#include "app/app_delegate.hpp"

namespace skylark {
namespace {

using Calls = std::vector<std::string>;
// What the fakes were asked to do, in order, and where the caster reports its state.
Calls calls;
ShellCaster::StateHandler stateHandler;

struct FakeServer final : ShellServer {
    void start() override { calls.push_back("server.start"); }
    std::uint16_t port() const override { return 8765; }
    std::string localAddress() const override { return "10.0.0.23"; }
    void requestStop() override { calls.push_back("server.requestStop"); }
};

struct FakeCaster final : ShellCaster {
    void start() override { calls.push_back("caster.start"); }
    void stop() override { calls.push_back("caster.stop"); }
    void setStateChanged(StateHandler handler) override { stateHandler = std::move(handler); }
};

std::unique_ptr<AppDelegate> launch() {
    calls.clear();
    ShellPlatform platform;
    platform.makeServer = [](auto) { return std::make_unique<FakeServer>(); };
    platform.makeCaster = [](auto, auto) {
        calls.push_back("caster.create");
        return std::make_unique<FakeCaster>();
    };
    platform.systemTrayAvailable = [] { return true; };
    auto delegate = std::make_unique<AppDelegate>(std::move(platform));
    EXPECT_TRUE(delegate->applicationDidFinishLaunching());
    return delegate;
}

TEST(Shell, MenuItemsTagsShortcutsAndWhatEachCommandReaches) {
    auto delegate = launch();
    struct Row {
        QString title;  // empty: a separator
        int tag;
        QString shortcut;  // empty: a disabled line
        Calls calls;       // what choosing it asks of the fakes
    };
    const std::vector<Row> rows = {
        {"Skylark", 0, "", {}},
        {"Fire TV: http://10.0.0.23:8765", 100, "", {}},
        {"Ready", 101, "", {}},
        {"", 0, "", {}},
        {"Share Screen or App + Audio\u2026", 0, "Ctrl+S", {"caster.start"}},
        {"Low Latency Sharing\u2026", 0, "Ctrl+O", {}},
        {"Copy Fire TV Address", 0, "Ctrl+C", {}},
        {"Stop Casting", 0, "Ctrl+.", {"caster.stop", "server.requestStop"}},
        {"", 0, "", {}},
        {"Quit Skylark", 0, "Ctrl+Q", {}},
    };
    const QList<QAction*> items = delegate->statusMenu()->actions();
    ASSERT_EQ(items.size(), static_cast<qsizetype>(rows.size()));
    EXPECT_EQ(delegate->statusItem()->contextMenu(), delegate->statusMenu());
    EXPECT_EQ(delegate->statusMenuItem(), items[2]);
    EXPECT_EQ(calls, (Calls{"server.start", "caster.create"}));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        QAction* item = items[static_cast<qsizetype>(i)];
        SCOPED_TRACE(row.title.toStdString());
        ASSERT_EQ(item->isSeparator(), row.title.isEmpty());
        EXPECT_EQ(item->text(), row.title);
        EXPECT_EQ(item->data().toInt(), row.tag);
        EXPECT_EQ(item->isEnabled(), !row.shortcut.isEmpty() || item->isSeparator());
        EXPECT_EQ(item->shortcut().toString(QKeySequence::PortableText), row.shortcut);
        if (!row.calls.empty()) {
            calls.clear();
            item->trigger();
            EXPECT_EQ(calls, row.calls);
        }
    }
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
