// The shell on Qt's offscreen platform with fakes of the server and the caster: the menu as
// built, each command's effect, state reports from other threads, and a start that fails.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <system_error>
#include <thread>

#include "app/app_delegate.hpp"
#include "support/child_process.hpp"

namespace skylark {
namespace {

using Calls = std::vector<std::string>;

// What the fakes were asked to do, in order.
struct ShellLog {
    Calls calls;
    bool failStart = false;
    ShellCaster::StateHandler stateHandler;
    bool casterCreated = false;
};

struct FakeServer final : ShellServer {
    explicit FakeServer(std::shared_ptr<ShellLog> log) : log(std::move(log)) {}
    void start() override {
        if (log->failStart) {  // as when a Skylark already holds the port
            throw std::system_error(EADDRINUSE, std::generic_category(), "bind");
        }
        log->calls.push_back("server.start");
    }
    std::uint16_t port() const override { return 8765; }
    std::string localAddress() const override { return "10.0.0.23"; }
    void requestStop() override { log->calls.push_back("server.requestStop"); }
    std::shared_ptr<ShellLog> log;
};

struct FakeCaster final : ShellCaster {
    explicit FakeCaster(std::shared_ptr<ShellLog> log) : log(std::move(log)) {}
    void start() override { log->calls.push_back("caster.start"); }
    void stop() override { log->calls.push_back("caster.stop"); }
    void setStateChanged(StateHandler handler) override { log->stateHandler = std::move(handler); }
    std::shared_ptr<ShellLog> log;
};

// Records what QDesktopServices is asked to open, in place of a browser.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    UrlRecorder() { QDesktopServices::setUrlHandler("http", this, "open"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler("http"); }
    QStringList opened;
  public slots:
    void open(const QUrl& url) { opened << url.toString(); }
};

class Shell : public ::testing::Test {
  protected:
    std::unique_ptr<AppDelegate> make() {
        ShellPlatform platform;
        platform.makeServer = [log = log_](auto) { return std::make_unique<FakeServer>(log); };
        platform.makeCaster = [log = log_](auto, auto) {
            log->casterCreated = true;
            return std::make_unique<FakeCaster>(log);
        };
        platform.systemTrayAvailable = [] { return true; };
        return std::make_unique<AppDelegate>(std::move(platform));
    }
    std::shared_ptr<ShellLog> log_ = std::make_shared<ShellLog>();
};

TEST_F(Shell, MenuItemsTagsShortcutsAndWhatEachCommandReaches) {
    auto delegate = make();
    ASSERT_TRUE(delegate->applicationDidFinishLaunching());
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
    EXPECT_EQ(log_->calls, Calls{"server.start"});
    auto previous = std::make_unique<QMimeData>();
    previous->setHtml("<b>old</b>");
    QApplication::clipboard()->setMimeData(previous.release());
    UrlRecorder browser;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        QAction* item = items[static_cast<qsizetype>(i)];
        SCOPED_TRACE(row.title.toStdString());
        ASSERT_EQ(item->isSeparator(), row.title.isEmpty());
        EXPECT_EQ(item->text(), row.title);
        EXPECT_EQ(item->data().toInt(), row.tag);
        EXPECT_EQ(item->isEnabled(), !row.shortcut.isEmpty() || item->isSeparator());
        EXPECT_EQ(item->shortcut().toString(QKeySequence::PortableText), row.shortcut);
        if (item->isEnabled() && row.title != "Quit Skylark") {
            log_->calls.clear();
            item->trigger();
            EXPECT_EQ(log_->calls, row.calls);
        }
    }
    // Copy leaves exactly the address, as plain text only; the sender page runs on this
    // computer, so the browser opens loopback.
    EXPECT_EQ(QApplication::clipboard()->mimeData()->formats(), QStringList{"text/plain"});
    EXPECT_EQ(QApplication::clipboard()->text(), "http://10.0.0.23:8765");
    EXPECT_EQ(browser.opened, QStringList{"http://127.0.0.1:8765"});
}

TEST_F(Shell, StateReportsFromOtherThreadsReachTheStatusLineOnTheMainThreadInOrder) {
    auto delegate = make();
    ASSERT_TRUE(delegate->applicationDidFinishLaunching());
    QAction* statusLine = delegate->statusMenuItem();
    std::vector<std::pair<QString, std::thread::id>> applied;
    QObject::connect(statusLine, &QAction::changed, statusLine,
                     [&] { applied.emplace_back(statusLine->text(), std::this_thread::get_id()); });
    std::thread([&] {
        for (const char* text :
             {"Choose an app or the entire screen\u2026", "Stopping\u2026", "Ready"}) {
            log_->stateHandler(false, text);
        }
    }).join();
    ASSERT_TRUE(testing::pollUntil(
        [&] {
            QApplication::processEvents();
            return applied.size() == 3;
        },
        std::chrono::seconds(10)));
    for (const auto& [text, thread] : applied) {
        EXPECT_EQ(thread, std::this_thread::get_id()) << text.toStdString();
    }
    EXPECT_EQ(applied[1].first, "Stopping\u2026");
    EXPECT_EQ(applied[2].first, "Ready");

    // Reports still on their way, or made after the delegate is gone, go nowhere.
    auto handler = log_->stateHandler;
    std::thread([&] { handler(true, "late"); }).join();
    delegate.reset();
    handler(false, "later");
    QApplication::processEvents();
}

TEST_F(Shell, FailedStartShowsTheAlertAndCreatesNothingElse) {
    log_->failStart = true;
    auto delegate = make();
    QString message, reason;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            message = alert->text();
            reason = alert->informativeText();
            EXPECT_EQ(delegate->statusItem(), nullptr);  // not even while the alert is up
            alert->accept();
        }
    });
    poll.start(10);
    EXPECT_FALSE(delegate->applicationDidFinishLaunching());
    EXPECT_EQ(message, "Skylark could not start");
    EXPECT_TRUE(reason.startsWith("Skylark is already running")) << reason.toStdString();
    EXPECT_TRUE(reason.contains("8765")) << reason.toStdString();
    EXPECT_EQ(delegate->server(), nullptr);
    EXPECT_EQ(delegate->statusMenu(), nullptr);
    EXPECT_FALSE(log_->casterCreated);
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

#include "app_shell_test.moc"
