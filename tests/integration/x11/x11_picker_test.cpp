// The X11 content picker as a user meets it: a Qt dialog on a real X server (Xvfb, started
// here), driven with real key presses through XTEST (xdotool).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDialog>
#include <thread>

#include "platform/x11/x11_content_filter.hpp"
#include "platform/x11/x11_content_picker.hpp"
#include "support/desktop_services.hpp"

namespace skylark {
namespace {

using namespace std::chrono_literals;

struct Outcomes : ContentPickerObserver {
    void contentSharingPickerDidUpdate(ContentPicker&,
                                       std::shared_ptr<const ContentFilter> filter) override {
        record("selected");
        this->filter = std::dynamic_pointer_cast<const X11ContentFilter>(filter);
    }
    void contentSharingPickerDidCancel(ContentPicker&) override { record("cancelled"); }
    void contentSharingPickerStartDidFail(const Error& error) override {
        record("failed: " + error.localizedDescription());
    }
    void record(const std::string& what) {
        seen.push_back(what);
        // Never from inside present(), always on the thread that presented.
        wellReported = wellReported && !presenting && std::this_thread::get_id() == main;
    }
    std::vector<std::string> seen;
    std::shared_ptr<const X11ContentFilter> filter;
    bool presenting = false, wellReported = true;
    std::thread::id main = std::this_thread::get_id();
};

bool pumpUntil(const std::function<bool()>& done) {
    return testing::pollUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return done();
        },
        10s);
}

// Whether the X server sends key presses to `dialog` (Qt's idea of the focus may come first).
bool hasKeyboard(QDialog* dialog) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    auto* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
    const bool focused = dialog && dialog->isVisible() && focus && focus->focus == dialog->winId();
    std::free(focus);
    xcb_disconnect(c);
    return focused && QApplication::focusWidget();
}

TEST(X11Picker, RealKeysShareADisplayOrAnApplicationOrCancel) {
    testing::XvfbServer xvfb(1280, 720);
    testing::TempDir runtime("skylark-picker-run-");
    chmod(runtime.path().c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int argc = 1;
    char name[] = "x11_picker_test", *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    testing::ChildProcess window(
        {SKYLARK_TEST_WINDOW, "--title", "Holiday photos", "--geometry", "500x400+20+20"}, {});
    const xcb_window_t windowId = std::stoul(window.readLine(10s).substr(6));  // "ready <id>"
    struct Row {
        std::vector<std::string> keys;
        std::string outcome;
        xcb_window_t window;  // 0: a display
        int width, height;
        std::string display = {};  // empty: DISPLAY
    } const rows[] = {
        {{"Return"}, "selected", 0, 1280, 720},                // the primary display comes first
        {{"Down", "Return"}, "selected", windowId, 500, 400},  // past the heading
        {{"Escape"}, "cancelled", 0, 0, 0},
        {{},
         "failed: Cannot connect to the X display \":7999\". Is the X server running, and may "
         "this user open it?",
         0,
         0,
         0,
         ":7999"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.outcome);
        auto outcomes = std::make_shared<Outcomes>();
        std::shared_ptr<X11ContentPicker> picker = makeX11ContentPicker(r.display);
        picker->addObserver(outcomes);
        ContentPickerConfiguration configuration;
        configuration.allowedPickerModes =
            PickerMode::singleDisplay | PickerMode::singleApplication;
        picker->setDefaultConfiguration(configuration);
        picker->setActive(true);
        outcomes->presenting = true;
        picker->present();
        outcomes->presenting = false;
        if (!r.keys.empty()) {
            ASSERT_TRUE(pumpUntil([&] { return hasKeyboard(picker->dialog()); }));
            std::vector<std::string> xdotool = {"xdotool", "key", "--delay", "30"};
            xdotool.insert(xdotool.end(), r.keys.begin(), r.keys.end());
            ASSERT_EQ(testing::runToEnd(xdotool), 0);
        }
        ASSERT_TRUE(pumpUntil([&] { return !outcomes->seen.empty(); }));
        EXPECT_EQ(outcomes->seen, std::vector<std::string>{r.outcome});
        EXPECT_TRUE(outcomes->wellReported);
        EXPECT_TRUE(pumpUntil([&] { return picker->dialog() == nullptr; }));
        if (const auto& f = outcomes->filter) {
            const bool app = f->kind() == X11ContentFilter::Kind::application;
            EXPECT_EQ(app ? f->window().id : 0, r.window);
            EXPECT_EQ(f->contentRect().width, r.width);
            EXPECT_EQ(f->contentRect().height, r.height);
        }
    }
}

}  // namespace
}  // namespace skylark
