// The shell through Qt's offscreen platform: the menu as built, each command's effect on fakes
// of the server and the caster, the status line, the failed start and the no-tray window.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <filesystem>
#include <thread>

#include "app/app_delegate.hpp"
#include "app/http_shell_server.hpp"
#include "app/no_tray_window.hpp"
#include "shell_fakes.hpp"
#include "support/child_process.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::fakePlatform;
using testing::ShellLog;
using Calls = std::vector<std::string>;

bool processEventsUntil(const std::function<bool()>& ready) {
    return testing::pollUntil(
        [&] {
            QApplication::processEvents();
            return ready();
        },
        10s);
}

template <class Widget>
QStringList textsOf(const QWidget& window) {
    QStringList texts;
    for (const Widget* widget : window.findChildren<Widget*>()) {
        texts << widget->text();
    }
    return texts;
}

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
    std::unique_ptr<AppDelegate> launch(ShellPlatform platform) {
        auto delegate = std::make_unique<AppDelegate>(std::move(platform));
        EXPECT_TRUE(delegate->applicationDidFinishLaunching());
        return delegate;
    }
    std::unique_ptr<AppDelegate> launch() { return launch(fakePlatform(log_, true)); }

    std::shared_ptr<ShellLog> log_ = std::make_shared<ShellLog>();
};

TEST_F(Shell, MenuHasTheTenItemsInOrderWithTagsEnabledStatesAndShortcuts) {
    auto delegate = launch();
    struct Row {
        QString title;  // empty: a separator
        int tag;
        bool enabled;
        QString shortcut;
    };
    const std::vector<Row> expected = {
        {"Skylark", 0, false, ""},
        {"Fire TV: http://192.168.1.7:8765", 100, false, ""},
        {"Ready", 101, false, ""},
        {"", 0, false, ""},
        {QStringLiteral("Share Screen or App + Audio\u2026"), 0, true, "Ctrl+S"},
        {QStringLiteral("Low Latency Sharing\u2026"), 0, true, "Ctrl+O"},
        {"Copy Fire TV Address", 0, true, "Ctrl+C"},
        {"Stop Casting", 0, true, "Ctrl+."},
        {"", 0, false, ""},
        {"Quit Skylark", 0, true, "Ctrl+Q"},
    };
    const QList<QAction*> items = delegate->statusMenu()->actions();
    ASSERT_EQ(items.size(), static_cast<qsizetype>(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("item " + std::to_string(i + 1));
        const Row& row = expected[i];
        QAction* item = items[static_cast<qsizetype>(i)];
        ASSERT_EQ(item->isSeparator(), row.title.isEmpty());
        if (!item->isSeparator()) {
            EXPECT_EQ(item->text(), row.title);
            EXPECT_EQ(item->data().toInt(), row.tag);
            EXPECT_EQ(item->isEnabled(), row.enabled);
            EXPECT_EQ(item->shortcut().toString(QKeySequence::PortableText), row.shortcut);
            EXPECT_TRUE(row.shortcut.isEmpty() || item->isShortcutVisibleInContextMenu());
        }
    }
    EXPECT_EQ(delegate->statusMenuItem(), items[2]);

    QSystemTrayIcon* icon = delegate->statusItem();
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->contextMenu(), delegate->statusMenu());
    EXPECT_EQ(icon->toolTip(), "Skylark");
    EXPECT_FALSE(delegate->statusItemShowsTitle());
    EXPECT_EQ(delegate->noTrayWindow(), nullptr);
    EXPECT_EQ(log_->calls, Calls{"server.start"});
}

TEST_F(Shell, TrayImageFollowsTheDesktopsTextColourOrFallsBackToTheTitle) {
    auto delegate = launch();
    const auto drawnColour = [&] {
        const QImage image = delegate->statusItem()->icon().pixmap(22, 22).toImage();
        for (int i = 0; i < image.width() * image.height(); ++i) {
            const QColor pixel = image.pixelColor(i % image.width(), i / image.width());
            if (pixel.alpha() == 255) {
                return pixel.rgb();
            }
        }
        return QRgb{0};
    };
    const QPalette original = QApplication::palette();
    for (const QColor text : {QColor(0xee, 0xee, 0xec), QColor(0x20, 0x20, 0x20)}) {
        QPalette theme = original;
        theme.setColor(QPalette::WindowText, text);
        QApplication::setPalette(theme);  // a dark, then a light desktop theme
        EXPECT_EQ(drawnColour(), text.rgb());
    }
    QApplication::setPalette(original);

    auto platform = fakePlatform(log_, true);
    platform.menuImage = ":/icons/NoSuchImage.svg";
    auto withoutImage = launch(std::move(platform));
    EXPECT_TRUE(withoutImage->statusItemShowsTitle());
    EXPECT_FALSE(withoutImage->statusItem()->icon().isNull());
    EXPECT_EQ(withoutImage->statusItem()->toolTip(), "Skylark");
}

TEST_F(Shell, CommandsReachTheCasterTheServerTheClipboardAndTheBrowser) {
    auto delegate = launch();
    const QList<QAction*> items = delegate->statusMenu()->actions();
    log_->calls.clear();

    items[4]->trigger();  // Share Screen or App + Audio…
    EXPECT_EQ(log_->calls, Calls{"caster.start"});

    // Stop Casting: the caster first, then the low-latency pages; every time, casting or not.
    log_->calls.clear();
    items[7]->trigger();
    items[7]->trigger();
    EXPECT_EQ(log_->calls,
              (Calls{"caster.stop", "server.requestStop", "caster.stop", "server.requestStop"}));

    // Copy: exactly the current address, as plain text only, replacing what was there.
    auto previous = std::make_unique<QMimeData>();
    previous->setHtml("<b>old</b>");
    QApplication::clipboard()->setMimeData(previous.release());
    log_->address = "10.0.0.23";
    items[6]->trigger();
    const QMimeData* copied = QApplication::clipboard()->mimeData();
    EXPECT_EQ(copied->formats(), QStringList{"text/plain"});
    EXPECT_EQ(copied->text(), "http://10.0.0.23:8765");

    // Low Latency Sharing: this computer's sender page, whatever the LAN address.
    UrlRecorder browser;
    items[5]->trigger();
    EXPECT_EQ(browser.opened, QStringList{"http://127.0.0.1:8765"});
    EXPECT_EQ(delegate->browserAlert(), nullptr);
}

TEST_F(Shell, AddressLineFollowsTheInterfaceListEachTimeTheMenuOpens) {
    // The real server, with an interface list the test changes.
    std::vector<InterfaceEntry> interfaces = {{"eth0", AF_INET, "192.168.1.7"}};
    auto platform = fakePlatform(log_, true);
    platform.makeServer = [&](std::shared_ptr<LiveHLSStore> store) {
        HTTPServer::Options options;
        options.port = 0;
        options.advertise = false;
        return makeHTTPShellServer(std::filesystem::temp_directory_path(), std::move(store),
                                   options, [&] { return interfaces; });
    };
    auto delegate = launch(std::move(platform));
    const QString port = QString::number(delegate->server()->port());
    QMenu& menu = *delegate->statusMenu();
    QAction* addressLine = menu.actions()[1];
    QAction* statusLine = menu.actions()[2];
    EXPECT_EQ(addressLine->text(), "Fire TV: http://192.168.1.7:" + port);

    statusLine->setText("Casting screen + system audio");
    interfaces = {{"lo", AF_INET, "127.0.0.1"}, {"wlp2s0", AF_INET, "10.1.2.3"}};
    EXPECT_EQ(addressLine->text(), "Fire TV: http://192.168.1.7:" + port);  // only on opening
    menu.popup(QPoint(10, 10));
    menu.hide();
    EXPECT_EQ(addressLine->text(), "Fire TV: http://10.1.2.3:" + port);
    EXPECT_EQ(statusLine->text(), "Casting screen + system audio");
}

TEST_F(Shell, StateReportsReachTheStatusLineOnTheMainThread) {
    auto delegate = launch();
    QAction* statusLine = delegate->statusMenuItem();
    EXPECT_EQ(statusLine->text(), "Ready");
    log_->stateHandler(false, "Choose an app or the entire screen\u2026");
    EXPECT_EQ(statusLine->text(), QStringLiteral("Choose an app or the entire screen\u2026"));

    // From another thread: carried to the main thread, in order.
    std::thread::id appliedOn;
    QObject::connect(statusLine, &QAction::changed, statusLine,
                     [&] { appliedOn = std::this_thread::get_id(); });
    std::thread([&] {
        log_->stateHandler(false, "The picker failed.");
        log_->stateHandler(false, "Ready");
    }).join();
    EXPECT_TRUE(processEventsUntil([&] { return statusLine->text() == "Ready"; }));
    EXPECT_EQ(appliedOn, std::this_thread::get_id());

    // After the delegate is gone, reports (also ones already on their way) do nothing.
    auto handler = log_->stateHandler;
    std::thread([&] { handler(true, "on its way"); }).join();
    delegate.reset();
    handler(false, "Ready");
    QApplication::processEvents();
}

TEST_F(Shell, FailedStartShowsTheAlertAndCreatesNothingElse) {
    // A port that is taken, as by a Skylark already running.
    const int holder = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin6_port);

    auto platform = fakePlatform(log_, true);
    platform.makeServer = [port](std::shared_ptr<LiveHLSStore> store) {
        HTTPServer::Options options;
        options.port = port;
        options.advertise = false;
        return makeHTTPShellServer(std::filesystem::temp_directory_path(), std::move(store),
                                   options);
    };
    AppDelegate delegate(std::move(platform));
    QString message, reason;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            message = alert->text();
            reason = alert->informativeText();
            EXPECT_EQ(delegate.statusItem(), nullptr);  // not even while the alert is up
            alert->accept();
        }
    });
    poll.start(10);
    EXPECT_FALSE(delegate.applicationDidFinishLaunching());
    ::close(holder);

    EXPECT_EQ(message, "Skylark could not start");
    EXPECT_TRUE(reason.startsWith("Skylark is already running")) << reason.toStdString();
    EXPECT_TRUE(reason.contains("port " + QString::number(port))) << reason.toStdString();
    EXPECT_TRUE(reason.contains("Address already in use")) << reason.toStdString();
    EXPECT_EQ(delegate.server(), nullptr);
    EXPECT_EQ(delegate.statusItem(), nullptr);
    EXPECT_EQ(delegate.statusMenu(), nullptr);
    EXPECT_FALSE(log_->casterCreated);
    EXPECT_EQ(*delegate.liveStore()->statusJSON(), *makeBuffer(R"({"active":false})"));
}

TEST_F(Shell, WithoutATrayTheMenuIsAWindowWithTheSameItems) {
    bool trayAvailable = false;
    auto platform = fakePlatform(log_, false);
    platform.systemTrayAvailable = [&] { return trayAvailable; };
    auto delegate = launch(std::move(platform));
    NoTrayWindow* window = delegate->noTrayWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->note().contains("no system tray"));
    EXPECT_TRUE(textsOf<QLabel>(*window).contains("Fire TV: http://192.168.1.7:8765"));
    EXPECT_EQ(textsOf<QPushButton>(*window),
              (QStringList{QStringLiteral("Share Screen or App + Audio\u2026"),
                           QStringLiteral("Low Latency Sharing\u2026"), "Copy Fire TV Address",
                           "Stop Casting", "Quit Skylark"}));

    // Same behaviour: a button runs its command, the status line follows reports.
    log_->calls.clear();
    window->findChildren<QPushButton*>()[3]->click();
    EXPECT_EQ(log_->calls, (Calls{"caster.stop", "server.requestStop"}));
    log_->stateHandler(false, "Stopping\u2026");
    EXPECT_TRUE(textsOf<QLabel>(*window).contains(QStringLiteral("Stopping\u2026")));

    // Closing it without a tray keeps it within reach; a tray that appears takes over.
    window->close();
    EXPECT_TRUE(window->isVisible());
    trayAvailable = true;
    EXPECT_TRUE(processEventsUntil([&] { return !window->isVisible(); }));
}

}  // namespace
}  // namespace skylark

#include "app_shell_test.moc"
