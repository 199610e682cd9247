#include "platform/capture/desktop_capture.hpp"

#include <xcb/xcb.h>

#include <QObject>

#include <cstdlib>
#include <cstring>

#include "platform/capture/picker_observers.hpp"
#include "platform/pipewire/pipewire_capture_stream.hpp"
#include "platform/pipewire/pipewire_content_filter.hpp"
#include "platform/portal/portal_probe.hpp"
#include "platform/x11/x11_capture_stream.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_content_picker.hpp"
#include "platform/x11/x11_desktop.hpp"

namespace skylark {

CaptureBackendChoice chooseCaptureBackend(const CaptureSessionFacts& facts) {
    if (!facts.waylandSession) {
        return {CaptureBackendKind::x11, {}};
    }
    if (facts.portalAvailable) {
        return {CaptureBackendKind::portal, {}};
    }
    if (facts.x11SeesDesktop) {
        return {CaptureBackendKind::x11, {}};
    }
    return {CaptureBackendKind::unavailable,
            std::string(kScreenSharingUnavailable) + facts.portalReason};
}

bool isWaylandSession(const std::function<const char*(const char*)>& getenv) {
    const char* display = getenv("WAYLAND_DISPLAY");
    const char* type = getenv("XDG_SESSION_TYPE");
    return (display && *display) || (type && std::strcmp(type, "wayland") == 0);
}

bool x11SeesDesktop(const std::string& displayName, std::string& why) {
    std::unique_ptr<x11::Connection> conn = x11::Connection::open(displayName, why);
    if (!conn) {
        return false;
    }
    // Xwayland names itself by an extension (newer servers) and by its outputs (all of them).
    const char* name = "XWAYLAND";
    x11::Reply<xcb_query_extension_reply_t> extension(xcb_query_extension_reply(
        conn->get(), xcb_query_extension(conn->get(), std::strlen(name), name), nullptr));
    bool xwayland = extension && extension->present;
    if (!xwayland) {
        for (const x11::Monitor& monitor : x11::listMonitors(*conn)) {
            xwayland = xwayland || monitor.name.rfind("XWAYLAND", 0) == 0;
        }
    }
    if (xwayland) {
        why = "The X display \"" + conn->displayName() +
              "\" is Xwayland, which shows only X11 programs, not the desktop.";
        return false;
    }
    return true;
}

namespace {

// Chooses at each presentation, so a portal that starts later (or stops) is noticed.
class ChoosingPicker final : public ContentPicker,
                             public std::enable_shared_from_this<ChoosingPicker> {
  public:
    ChoosingPicker(DesktopCaptureOptions options, std::shared_ptr<ContentPicker> portalPicker,
                   std::shared_ptr<ContentPicker> x11Picker)
        : options_(std::move(options)),
          portal_(std::move(portalPicker)),
          x11_(std::move(x11Picker)) {}

    void present(const ContentPickerConfiguration& configuration,
                 std::weak_ptr<ContentPickerObserver> observer) override {
        if (!isWaylandSession(options_.getenv)) {
            use(CaptureBackendKind::x11, "screen capture through X11 (an X11 session)");
            x11_->present(configuration, std::move(observer));
            return;
        }
        // The presentation waiting for the probe takes this one's place.
        configuration_ = configuration;
        observer_.set(std::move(observer));
        if (choosing_) {
            return;
        }
        choosing_ = true;
        if (!context_) {
            context_ = std::make_unique<QObject>();
        }
        std::weak_ptr<ChoosingPicker> weak = weak_from_this();
        portal::probeScreenCast(portal::connectToPortalBus(options_.portal.busAddress),
                                context_.get(), [weak](const portal::ProbeResult& result) {
                                    if (auto self = weak.lock()) {
                                        self->chose(result);
                                    }
                                });
    }

  private:
    // From the event loop.
    void chose(const portal::ProbeResult& result) {
        choosing_ = false;
        CaptureSessionFacts facts;
        facts.waylandSession = true;
        facts.portalAvailable = std::holds_alternative<portal::ScreenCastInfo>(result);
        std::string x11Why;
        if (!facts.portalAvailable) {
            facts.portalReason = std::get<QString>(result).toStdString();
            facts.x11SeesDesktop = x11SeesDesktop(x11Display(), x11Why);
        }
        const CaptureBackendChoice choice = chooseCaptureBackend(facts);
        switch (choice.kind) {
            case CaptureBackendKind::portal:
                use(choice.kind,
                    "screen capture through the desktop portal and PipeWire (a Wayland session)");
                portal_->present(configuration_, observer_.take());
                return;
            case CaptureBackendKind::x11:
                use(choice.kind,
                    "a Wayland session without the desktop portal (" + facts.portalReason + ")");
                x11_->present(configuration_, observer_.take());
                return;
            case CaptureBackendKind::unavailable:
                use(choice.kind, "no screen capture: " + facts.portalReason + " " + x11Why);
                const Error error = Error{kPortalErrorDomain, kPortalUnavailable, choice.failure};
                observer_.fail(error);
                return;
        }
    }

    std::string x11Display() const {
        if (!options_.x11Display.empty()) {
            return options_.x11Display;
        }
        const char* display = options_.getenv("DISPLAY");
        return display ? display : "";
    }

    // Names the path in the trace when it changes.
    void use(CaptureBackendKind kind, const std::string& line) {
        if (lastKind_ == kind) {
            return;
        }
        lastKind_ = kind;
        if (options_.trace) {
            options_.trace->trace(line);
        }
    }

    const DesktopCaptureOptions options_;
    const std::shared_ptr<ContentPicker> portal_;
    const std::shared_ptr<ContentPicker> x11_;
    std::unique_ptr<QObject> context_;
    bool choosing_ = false;
    std::optional<CaptureBackendKind> lastKind_;
    ContentPickerConfiguration configuration_;
    PickerObserverSlot observer_;
};

}  // namespace

DesktopCapture makeDesktopCapture(DesktopCaptureOptions options) {
    if (!options.trace) {
        options.trace = std::make_shared<TraceLog>();
    }
    if (!options.getenv) {
        options.getenv = [](const char* name) -> const char* { return std::getenv(name); };
    }
    PipeWireCaptureOptions pipeWire;
    pipeWire.audioServer = options.audioServer;
    pipeWire.audioDevice = options.audioDevice;
    pipeWire.trace = options.trace;
    X11CaptureOptions x11;
    x11.audioServer = options.audioServer;
    x11.audioDevice = options.audioDevice;
    x11.trace = options.trace;
    CaptureStreamFactory pipeWireStreams = makePipeWireCaptureStreamFactory(std::move(pipeWire));
    CaptureStreamFactory x11Streams = makeX11CaptureStreamFactory(std::move(x11));

    DesktopCapture capture;
    capture.picker = std::make_shared<ChoosingPicker>(
        options, makePortalContentPicker(options.portal), makeX11ContentPicker(options.x11Display));
    capture.makeStream = [pipeWireStreams, x11Streams](
                             std::shared_ptr<const ContentFilter> filter,
                             const StreamConfiguration& configuration,
                             std::weak_ptr<CaptureStreamDelegate> delegate) {
        const bool pipeWire =
            std::dynamic_pointer_cast<const PipeWireContentFilter>(filter) != nullptr;
        return (pipeWire ? pipeWireStreams : x11Streams)(std::move(filter), configuration,
                                                         std::move(delegate));
    };
    return capture;
}

}  // namespace skylark
