#pragma once

#include <memory>
#include <string>

#include "caster/capture_platform.hpp"
#include "platform/x11/x11_desktop.hpp"

namespace skylark {

// Errors of the X11 capture platform: the domain and its codes.
inline constexpr const char* kX11ErrorDomain = "org.skylark.x11";
enum X11ErrorCode : std::int64_t {
    kX11CannotCapture = 1,   // no display, no MIT-SHM or Composite, content not there
    kX11ContentEnded = 2,    // the window closed or the display went away mid-cast
    kX11ConnectionLost = 3,  // the X server went away mid-cast
    kX11BadRequest = 4,      // a configuration, output or call order this platform cannot serve
    kX11NothingToShare = 5,  // the picker found no display and no application
};

// A display or an application window chosen in the X11 picker. Sizes are in pixels with a
// pixel scale of 1: X11 has no separate point unit.
class X11ContentFilter final : public ContentFilter {
  public:
    enum class Kind { display, application };

    static std::shared_ptr<const X11ContentFilter> forDisplay(std::string displayName,
                                                              x11::Monitor monitor) {
        return std::make_shared<const X11ContentFilter>(Kind::display, std::move(displayName),
                                                        std::move(monitor), x11::AppWindow{});
    }
    static std::shared_ptr<const X11ContentFilter> forApplication(std::string displayName,
                                                                  x11::AppWindow window) {
        return std::make_shared<const X11ContentFilter>(Kind::application, std::move(displayName),
                                                        x11::Monitor{}, std::move(window));
    }

    X11ContentFilter(Kind kind, std::string displayName, x11::Monitor monitor,
                     x11::AppWindow window)
        : kind_(kind),
          displayName_(std::move(displayName)),
          monitor_(std::move(monitor)),
          window_(std::move(window)) {}

    ContentSize contentRect() const override {
        return kind_ == Kind::display
                   ? ContentSize{double(monitor_.rect.width), double(monitor_.rect.height)}
                   : ContentSize{double(window_.width), double(window_.height)};
    }
    float pointPixelScale() const override { return 1.0f; }

    Kind kind() const { return kind_; }
    // The X display it lives on (empty: the DISPLAY variable).
    const std::string& displayName() const { return displayName_; }
    const x11::Monitor& monitor() const { return monitor_; }
    const x11::AppWindow& window() const { return window_; }

  private:
    Kind kind_;
    std::string displayName_;
    x11::Monitor monitor_;
    x11::AppWindow window_;
};

}  // namespace skylark
