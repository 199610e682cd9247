// The X11 content picker as a user meets it: a Qt dialog on a real X server (Xvfb, started
// here), driven with real key presses through XTEST (xdotool).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <thread>

#include "platform/x11/x11_content_filter.hpp"
#include "platform/x11/x11_content_picker.hpp"
#include "support/child_process.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::XvfbServer;

class RecordingObserver : public ContentPickerObserver {
  public:
    void contentSharingPickerDidUpdate(ContentPicker&,
                                       std::shared_ptr<const ContentFilter> filter) override {
        record("selected");
        filter_ = std::dynamic_pointer_cast<const X11ContentFilter>(filter);
    }
    void contentSharingPickerDidCancel(ContentPicker&) override { record("cancelled"); }
    void contentSharingPickerStartDidFail(const Error& error) override {
        record("failed");
        error_ = error;
    }

    std::vector<std::string> outcomes;
    std::shared_ptr<const X11ContentFilter> filter_;
    std::optional<Error> error_;
    bool insideCall = false;  // set by the test around picker calls
    bool calledInside = false;
    bool calledOffMainThread = false;

  private:
    void record(const char* what) {
        outcomes.emplace_back(what);
        calledInside |= insideCall;
        calledOffMainThread |= std::this_thread::get_id() != mainThread_;
    }
    std::thread::id mainThread_ = std::this_thread::get_id();
};

class X11Picker : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = std::make_unique<XvfbServer>(1280, 720);
        runtime_ = std::make_unique<testing::TempDir>("skylark-picker-run-");
        chmod(runtime_->path().c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
        setenv("DISPLAY", xvfb_->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "x11_picker_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        ASSERT_EQ(xrandr({"--setmonitor", "LEFT", "640/169x720/190+0+0", "none"}), 0);
        ASSERT_EQ(xrandr({"--setmonitor", "*RIGHT", "640/169x720/190+640+0", "none"}), 0);
        window_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{SKYLARK_TEST_WINDOW, "--title", "Holiday photos", "--geometry",
                                     "500x400+20+20"},
            ChildProcess::Options{{}, true});
        const std::string ready = window_->readLine(10s);
        ASSERT_EQ(ready.rfind("ready ", 0), 0u);
        windowId_ = static_cast<xcb_window_t>(std::stoul(ready.substr(6)));
    }
    static void TearDownTestSuite() {
        window_.reset();
        app_.reset();
        xvfb_.reset();
        runtime_.reset();
    }

    void SetUp() override {
        picker_ = makeX11ContentPicker();
        picker_->addObserver(observer_);
        ContentPickerConfiguration configuration;
        configuration.allowedPickerModes =
            PickerMode::singleDisplay | PickerMode::singleApplication;
        configuration.allowsChangingSelectedContent = false;
        picker_->setDefaultConfiguration(configuration);
        picker_->setActive(true);
    }
    void TearDown() override {
        picker_.reset();
        QCoreApplication::processEvents();
    }

    static int xrandr(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"xrandr"};
        argv.insert(argv.end(), args.begin(), args.end());
        return testing::runToEnd(argv);
    }

    // Presents, the way the caster does, and waits until the dialog has the keyboard focus.
    void presentAndWait() {
        observer_->insideCall = true;
        picker_->present();
        observer_->insideCall = false;
        ASSERT_TRUE(pumpUntil([&] {
            return picker_->dialog() != nullptr && picker_->dialog()->isVisible() &&
                   QApplication::focusWidget() != nullptr && xFocus() == picker_->dialog()->winId();
        }));
    }

    // The window the X server sends key presses to (Qt's idea of the focus may come first).
    static WId xFocus() {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        xcb_get_input_focus_reply_t* reply =
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        const WId focus = reply != nullptr ? reply->focus : 0;
        std::free(reply);
        xcb_disconnect(c);
        return focus;
    }

    static bool pumpUntil(const std::function<bool()>& done,
                          std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Real key presses, through the X server to whatever has the focus.
    static void keys(const std::vector<std::string>& names) {
        std::vector<std::string> argv = {"xdotool", "key", "--delay", "30"};
        argv.insert(argv.end(), names.begin(), names.end());
        ASSERT_EQ(testing::runToEnd(argv), 0);
    }

    QListWidget* list() { return picker_->dialog()->findChild<QListWidget*>(); }

    std::vector<std::string> rows() {
        std::vector<std::string> texts;
        for (int i = 0; i < list()->count(); ++i) {
            texts.push_back(list()->item(i)->text().toStdString());
        }
        return texts;
    }

    std::shared_ptr<X11ContentPicker> picker_;
    std::shared_ptr<RecordingObserver> observer_ = std::make_shared<RecordingObserver>();
    static std::unique_ptr<XvfbServer> xvfb_;
    static std::unique_ptr<testing::TempDir> runtime_;
    static std::unique_ptr<QApplication> app_;
    static std::unique_ptr<ChildProcess> window_;
    static xcb_window_t windowId_;
};
std::unique_ptr<XvfbServer> X11Picker::xvfb_;
std::unique_ptr<testing::TempDir> X11Picker::runtime_;
std::unique_ptr<QApplication> X11Picker::app_;
std::unique_ptr<ChildProcess> X11Picker::window_;
xcb_window_t X11Picker::windowId_ = XCB_WINDOW_NONE;

TEST_F(X11Picker, OpensWithDisplaysPrimaryFirstThenApplicationsAndThePrimarySelected) {
    presentAndWait();
    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "Displays",
                          "Display \u201cRIGHT\u201d \u2014 640 \u00d7 720 (primary)",
                          "Display \u201cLEFT\u201d \u2014 640 \u00d7 720",
                          "Display \u201cscreen\u201d \u2014 1280 \u00d7 720",
                          "Applications",
                          "SkylarkTest \u2014 Holiday photos",
                      }));
    EXPECT_EQ(list()->currentRow(), 1);
    EXPECT_EQ(QApplication::focusWidget(), list());
    EXPECT_TRUE(observer_->outcomes.empty());
    EXPECT_FALSE(picker_->dialog()->isModal());
}

TEST_F(X11Picker, EnterSharesThePrimaryDisplayAtOnce) {
    presentAndWait();
    keys({"Return"});
    ASSERT_TRUE(pumpUntil([&] { return !observer_->outcomes.empty(); }));
    EXPECT_EQ(observer_->outcomes, std::vector<std::string>{"selected"});
    ASSERT_TRUE(observer_->filter_);
    EXPECT_EQ(observer_->filter_->kind(), X11ContentFilter::Kind::display);
    EXPECT_EQ(observer_->filter_->monitor().name, "RIGHT");
    EXPECT_EQ(observer_->filter_->contentRect().width, 640);
    EXPECT_EQ(observer_->filter_->contentRect().height, 720);
    EXPECT_EQ(observer_->filter_->pointPixelScale(), 1.0f);
    EXPECT_FALSE(observer_->calledInside);
    EXPECT_FALSE(observer_->calledOffMainThread);
    EXPECT_TRUE(pumpUntil([&] { return picker_->dialog() == nullptr; }));
}

TEST_F(X11Picker, ArrowKeysReachAnApplicationPastTheHeadings) {
    presentAndWait();
    keys({"Down", "Down", "Down", "Return"});
    ASSERT_TRUE(pumpUntil([&] { return !observer_->outcomes.empty(); }));
    ASSERT_EQ(observer_->outcomes, std::vector<std::string>{"selected"});
    ASSERT_EQ(observer_->filter_->kind(), X11ContentFilter::Kind::application);
    EXPECT_EQ(observer_->filter_->window().id, windowId_);
    EXPECT_EQ(observer_->filter_->window().title, "Holiday photos");
    EXPECT_EQ(observer_->filter_->contentRect().width, 500);
    EXPECT_EQ(observer_->filter_->contentRect().height, 400);
}

TEST_F(X11Picker, EscapeCancels) {
    presentAndWait();
    keys({"Escape"});
    ASSERT_TRUE(pumpUntil([&] { return !observer_->outcomes.empty(); }));
    EXPECT_EQ(observer_->outcomes, std::vector<std::string>{"cancelled"});
    EXPECT_TRUE(pumpUntil([&] { return picker_->dialog() == nullptr; }));
}

TEST_F(X11Picker, PresentingAgainBringsTheOpenDialogBackWithOneOutcome) {
    presentAndWait();
    QDialog* first = picker_->dialog();
    first->lower();
    observer_->insideCall = true;
    picker_->present();
    observer_->insideCall = false;
    EXPECT_EQ(picker_->dialog(), first);
    keys({"Escape"});
    ASSERT_TRUE(pumpUntil([&] { return !observer_->outcomes.empty(); }));
    pumpUntil([] { return false; }, 200ms);
    EXPECT_EQ(observer_->outcomes, std::vector<std::string>{"cancelled"});

    // Closed, it opens anew.
    presentAndWait();
    EXPECT_NE(picker_->dialog(), nullptr);
}

TEST_F(X11Picker, DisplaysOnlyModeListsNoApplications) {
    ContentPickerConfiguration displaysOnly;
    displaysOnly.allowedPickerModes = PickerMode::singleDisplay;
    picker_->setDefaultConfiguration(displaysOnly);
    presentAndWait();
    EXPECT_EQ(rows().size(), 4u);
    EXPECT_EQ(rows().front(), "Displays");
}

TEST_F(X11Picker, AnUnreachableDisplayIsReportedAfterPresentReturns) {
    auto picker = makeX11ContentPicker(":7999");
    picker->addObserver(observer_);
    picker->setActive(true);
    observer_->insideCall = true;
    picker->present();
    observer_->insideCall = false;
    EXPECT_TRUE(observer_->outcomes.empty()) << "reported from inside present()";
    ASSERT_TRUE(pumpUntil([&] { return !observer_->outcomes.empty(); }));
    EXPECT_EQ(observer_->outcomes, std::vector<std::string>{"failed"});
    EXPECT_EQ(observer_->error_->localizedDescription(),
              "Cannot connect to the X display \":7999\". Is the X server running, and may this "
              "user open it?");
    EXPECT_EQ(picker->dialog(), nullptr);
}

}  // namespace
}  // namespace skylark
