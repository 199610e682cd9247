// The X11 content picker as a user meets it: a Qt dialog on a real X server (Xvfb, started
// here), driven with real key presses through XTEST (xdotool).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <sstream>
#include <thread>

#include "platform/x11/x11_content_filter.hpp"
#include "platform/x11/x11_content_picker.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;

class Outcomes : public ContentPickerObserver {
  public:
    void contentSharingPickerDidUpdate(ContentPicker&,
                                       std::shared_ptr<const ContentFilter> filter) override {
        record("selected");
        filter_ = std::dynamic_pointer_cast<const X11ContentFilter>(filter);
    }
    void contentSharingPickerDidCancel(ContentPicker&) override { record("cancelled"); }
    void contentSharingPickerStartDidFail(const Error& error) override {
        record("failed: " + error.localizedDescription());
    }
    std::vector<std::string> seen;
    std::shared_ptr<const X11ContentFilter> filter_;
    bool presenting = false;  // set by the test around present()
    bool reportedInside = false, reportedOffMainThread = false;

  private:
    void record(const std::string& what) {
        seen.push_back(what);
        reportedInside |= presenting;
        reportedOffMainThread |= std::this_thread::get_id() != main_;
    }
    std::thread::id main_ = std::this_thread::get_id();
};

bool pumpUntil(const std::function<bool()>& done) {
    return testing::pollUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return done();
        },
        10s);
}

class X11Picker : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        xvfb_ = std::make_unique<testing::XvfbServer>(1280, 720);
        runtime_ = std::make_unique<testing::TempDir>("skylark-picker-run-");
        chmod(runtime_->path().c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
        setenv("DISPLAY", xvfb_->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "x11_picker_test", *argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        for (const char* monitor : {"LEFT 640/169x720/190+0+0", "*RIGHT 640/169x720/190+640+0"}) {
            std::istringstream words(monitor);
            std::string name, geometry;
            words >> name >> geometry;
            ASSERT_EQ(testing::runToEnd({"xrandr", "--setmonitor", name, geometry, "none"}), 0);
        }
        window_ = std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{SKYLARK_TEST_WINDOW, "--title", "Holiday photos", "--geometry",
                                     "500x400+20+20"},
            testing::ChildProcess::Options{});
        const std::string ready = window_->readLine(10s);
        ASSERT_EQ(ready.rfind("ready ", 0), 0u);
        windowId_ = std::stoul(ready.substr(6));
    }
    static void TearDownTestSuite() {
        window_.reset();
        app_.reset();
        xvfb_.reset();
    }
    void SetUp() override {
        picker_ = makeX11ContentPicker();
        picker_->addObserver(outcomes_);
        ContentPickerConfiguration configuration;
        configuration.allowedPickerModes =
            PickerMode::singleDisplay | PickerMode::singleApplication;
        picker_->setDefaultConfiguration(configuration);
        picker_->setActive(true);
    }

    // Presents as the caster does and waits until the X server sends keys to the dialog.
    void presentAndWait() {
        outcomes_->presenting = true;
        picker_->present();
        outcomes_->presenting = false;
        ASSERT_TRUE(pumpUntil([&] {
            QDialog* dialog = picker_->dialog();
            xcb_connection_t* c = xcb_connect(nullptr, nullptr);
            auto* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
            const bool focused = dialog && dialog->isVisible() && focus &&
                                 focus->focus == dialog->winId() && QApplication::focusWidget();
            std::free(focus);
            xcb_disconnect(c);
            return focused;
        }));
    }

    std::shared_ptr<X11ContentPicker> picker_;
    std::shared_ptr<Outcomes> outcomes_ = std::make_shared<Outcomes>();
    static inline std::unique_ptr<testing::XvfbServer> xvfb_;
    static inline std::unique_ptr<testing::TempDir> runtime_;
    static inline std::unique_ptr<QApplication> app_;
    static inline std::unique_ptr<testing::ChildProcess> window_;
    static inline xcb_window_t windowId_ = 0;
};

TEST_F(X11Picker, ListsDisplaysPrimaryFirstThenApplicationsWithThePrimarySelected) {
    presentAndWait();
    auto* list = picker_->dialog()->findChild<QListWidget*>();
    std::vector<std::string> rows;
    for (int i = 0; i < list->count(); ++i) {
        rows.push_back(list->item(i)->text().toStdString());
    }
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "Displays",
                        "Display \u201cRIGHT\u201d \u2014 640 \u00d7 720 (primary)",
                        "Display \u201cLEFT\u201d \u2014 640 \u00d7 720",
                        "Display \u201cscreen\u201d \u2014 1280 \u00d7 720",
                        "Applications",
                        "SkylarkTest \u2014 Holiday photos",
                    }));
    EXPECT_EQ(list->currentRow(), 1);
}

TEST_F(X11Picker, KeysShareADisplayOrAnApplicationOrCancel) {
    struct Row {
        std::vector<std::string> keys;
        std::string outcome;
        xcb_window_t window;  // 0: a display
        std::string display;
        int width, height;
    } const rows[] = {
        {{"Return"}, "selected", 0, "RIGHT", 640, 720},
        {{"Down", "Down", "Down", "Return"}, "selected", windowId_, "", 500, 400},
        {{"Escape"}, "cancelled", 0, "", 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.keys.front());
        outcomes_->seen.clear();
        presentAndWait();
        std::vector<std::string> argv = {"xdotool", "key", "--delay", "30"};
        argv.insert(argv.end(), r.keys.begin(), r.keys.end());
        ASSERT_EQ(testing::runToEnd(argv), 0);
        ASSERT_TRUE(pumpUntil([&] { return !outcomes_->seen.empty(); }));
        EXPECT_EQ(outcomes_->seen, std::vector<std::string>{r.outcome});
        EXPECT_TRUE(pumpUntil([&] { return picker_->dialog() == nullptr; }));
        if (r.outcome == "selected") {
            const X11ContentFilter& f = *outcomes_->filter_;
            EXPECT_EQ(f.kind() == X11ContentFilter::Kind::application ? f.window().id : 0,
                      r.window);
            EXPECT_EQ(f.kind() == X11ContentFilter::Kind::display ? f.monitor().name : "",
                      r.display);
            EXPECT_EQ(f.contentRect().width, r.width);
            EXPECT_EQ(f.contentRect().height, r.height);
        }
    }
    EXPECT_FALSE(outcomes_->reportedInside);
    EXPECT_FALSE(outcomes_->reportedOffMainThread);
}

TEST_F(X11Picker, AnUnreachableDisplayIsReportedAfterPresentReturns) {
    auto picker = makeX11ContentPicker(":7999");
    picker->addObserver(outcomes_);
    picker->setActive(true);
    outcomes_->presenting = true;
    picker->present();
    outcomes_->presenting = false;
    ASSERT_TRUE(pumpUntil([&] { return !outcomes_->seen.empty(); }));
    EXPECT_FALSE(outcomes_->reportedInside);
    EXPECT_EQ(outcomes_->seen, std::vector<std::string>{
                                   "failed: Cannot connect to the X display \":7999\". Is the X "
                                   "server running, and may this user open it?"});
}

}  // namespace
}  // namespace skylark
