#include "platform/portal/portal_presentation.hpp"

#include <fcntl.h>

#include <algorithm>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>

#include "platform/pipewire/node_video_size.hpp"
#include "platform/portal/portal_content_filter.hpp"
#include "platform/portal/portal_names.hpp"
#include "platform/portal/portal_probe.hpp"
#include "platform/portal/portal_request.hpp"

namespace skylark::portal {
namespace {

// How long the stream's own picture size is waited for; it comes within milliseconds.
constexpr int kPixelSizeTimeoutMs = 2000;

// The first stream of a Start response: node id, kind and size.
struct ChosenStream {
    std::uint32_t node = 0;
    PortalContentFilter::Kind kind = PortalContentFilter::Kind::display;
    std::optional<ContentSize> size;
};

std::optional<ChosenStream> firstStream(const QVariantMap& results) {
    const QVariant streams = results.value(QStringLiteral("streams"));
    if (!streams.canConvert<QDBusArgument>()) {
        return std::nullopt;
    }
    const QDBusArgument array = streams.value<QDBusArgument>();
    std::optional<ChosenStream> chosen;
    array.beginArray();
    while (!array.atEnd()) {
        uint node = 0;
        QVariantMap properties;
        array.beginStructure();
        array >> node >> properties;
        array.endStructure();
        if (chosen) {
            continue;
        }
        ChosenStream stream;
        stream.node = node;
        if (properties.value(QStringLiteral("source_type")).toUInt() == kSourceWindow) {
            stream.kind = PortalContentFilter::Kind::window;
        }
        const QVariant size = properties.value(QStringLiteral("size"));
        if (size.canConvert<QDBusArgument>()) {
            int width = 0;
            int height = 0;
            const QDBusArgument pair = size.value<QDBusArgument>();
            pair.beginStructure();
            pair >> width >> height;
            pair.endStructure();
            if (width > 0 && height > 0) {
                stream.size = ContentSize{double(width), double(height)};
            }
        }
        chosen = stream;
    }
    array.endArray();
    return chosen;
}

QString objectPathOf(const QVariant& value) {
    return value.canConvert<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path()
                                               : value.toString();
}

class Presentation : public QObject {
  public:
    using Done = PresentationDone;

    Presentation(QDBusConnection connection, std::uint32_t allowedModes, QString restoreToken,
                 Done done)
        : connection_(std::move(connection)),
          allowedModes_(allowedModes),
          restoreToken_(std::move(restoreToken)),
          done_(std::move(done)),
          portalWatcher_(kPortalService, connection_, QDBusServiceWatcher::WatchForUnregistration) {
        connect(&portalWatcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
            fail(kPortalUnavailable, QStringLiteral("the desktop portal stopped while asking."));
        });
    }

    ~Presentation() override {
        if (request_) {
            request_->abandon();
        }
    }

    void begin() {
        probeScreenCast(connection_, this, [this](const ProbeResult& result) {
            if (const QString* reason = std::get_if<QString>(&result)) {
                fail(kPortalUnavailable, *reason);
                return;
            }
            info_ = std::get<ScreenCastInfo>(result);
            createSession();
        });
    }

  private:
    void createSession() {
        QVariantMap options;
        options.insert(QStringLiteral("session_handle_token"),
                       PortalRequest::uniqueToken("skylark_session"));
        ask(QStringLiteral("CreateSession"), {}, options, [this](const PortalResponse& r) {
            if (!answered(r)) {
                return;
            }
            const QString path = objectPathOf(r.results.value(QStringLiteral("session_handle")));
            if (path.isEmpty()) {
                fail(kPortalRefused, QStringLiteral("the desktop portal opened no session."));
                return;
            }
            session_ = std::make_shared<PortalSession>(connection_, path);
            selectSources();
        });
    }

    void selectSources() {
        uint types = 0;
        if (allowedModes_ & PickerMode::singleDisplay) {
            types |= kSourceMonitor;
        }
        if (allowedModes_ & kApplicationModes) {
            types |= kSourceWindow;
        }
        types &= info_.sourceTypes;
        if (types == 0) {
            fail(kPortalUnavailable,
                 (allowedModes_ & PickerMode::singleDisplay)
                     ? QStringLiteral("the desktop can share neither a screen nor a window.")
                     : QStringLiteral("the desktop cannot share a single window."));
            return;
        }
        QVariantMap options;
        options.insert(QStringLiteral("types"), types);
        options.insert(QStringLiteral("multiple"), false);
        if (info_.cursorModes & kCursorEmbedded) {
            options.insert(QStringLiteral("cursor_mode"), kCursorEmbedded);
        } else if (info_.cursorModes & kCursorHidden) {
            options.insert(QStringLiteral("cursor_mode"), kCursorHidden);
        }
        // Restore tokens came with version 4 of the interface.
        if (info_.version >= 4) {
            options.insert(QStringLiteral("persist_mode"), kPersistWhileRunning);
            if (!restoreToken_.isEmpty()) {
                options.insert(QStringLiteral("restore_token"), restoreToken_);
            }
        }
        ask(QStringLiteral("SelectSources"),
            {QVariant::fromValue(QDBusObjectPath(session_->path()))}, options,
            [this](const PortalResponse& r) {
                if (answered(r)) {
                    start();
                }
            });
    }

    void start() {
        // No parent window: the application has none to offer.
        ask(QStringLiteral("Start"),
            {QVariant::fromValue(QDBusObjectPath(session_->path())), QString()}, {},
            [this](const PortalResponse& r) {
                if (!answered(r)) {
                    return;
                }
                const QString token = r.results.value(QStringLiteral("restore_token")).toString();
                if (!token.isEmpty()) {
                    restoreToken_ = token;
                }
                const std::optional<ChosenStream> stream = firstStream(r.results);
                if (!stream) {
                    fail(kPortalRefused,
                         QStringLiteral("the desktop portal returned nothing to share."));
                    return;
                }
                if (!stream->size) {
                    fail(kPortalRefused, QStringLiteral("the desktop did not say how large the "
                                                        "shared screen or window is."));
                    return;
                }
                openRemote(*stream);
            });
    }

    void openRemote(const ChosenStream& stream) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(kPortalService, kPortalPath, kScreenCastInterface,
                                           QStringLiteral("OpenPipeWireRemote"));
        message << QVariant::fromValue(QDBusObjectPath(session_->path())) << QVariantMap();
        auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(message), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, stream](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                    if (reply.isError() || !reply.value().isValid()) {
                        fail(kPortalRefused,
                             QStringLiteral("the desktop portal did not open the screen's "
                                            "stream (%1).")
                                 .arg(reply.isError() ? reply.error().message()
                                                      : QStringLiteral("no connection")));
                        return;
                    }
                    // The descriptor object closes its own copy; the filter keeps another.
                    const int fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
                    if (fd < 0) {
                        fail(kPortalRefused, QStringLiteral("the screen's stream could not be "
                                                            "opened (too many open files)."));
                        return;
                    }
                    // A compositor that scales its screens gives their sizes in its own
                    // coordinates: the stream's pictures have that many more pixels.
                    const auto pixels = nodeVideoSize(fd, stream.node, kPixelSizeTimeoutMs);
                    const double scale = pixels ? pixels->width / stream.size->width : 1.0;
                    finish(std::make_shared<const PortalContentFilter>(
                        std::move(session_), fd, stream.node, stream.kind, *stream.size,
                        float(std::max(1.0, scale))));
                });
    }

    // Sends a request to the ScreenCast interface; `next` gets the portal's answer.
    void ask(const QString& method, const QVariantList& arguments, const QVariantMap& options,
             PortalRequest::Done next) {
        QDBusMessage message = QDBusMessage::createMethodCall(kPortalService, kPortalPath,
                                                              kScreenCastInterface, method);
        message.setArguments(arguments);
        if (request_) {
            request_->abandon();
        }
        request_.reset(new PortalRequest(connection_, message, options, std::move(next)));
    }

    // Whether the answer lets the presentation go on; otherwise ends it as the answer says.
    bool answered(const PortalResponse& r) {
        if (r.callError) {
            fail(kPortalUnavailable,
                 QStringLiteral("the desktop portal answered with an error "
                                "(%1).")
                     .arg(r.callError->message().isEmpty() ? r.callError->name()
                                                           : r.callError->message()));
            return false;
        }
        if (r.code == 1) {
            finish(Cancelled{});
            return false;
        }
        if (r.code != 0) {
            fail(kPortalRefused, QStringLiteral("the desktop refused the request."));
            return false;
        }
        return true;
    }

    void fail(PortalErrorCode code, const QString& reason) { finish(unavailable(code, reason)); }

    void finish(Outcome outcome) {
        if (!done_) {
            return;
        }
        // A session that led to no selection is closed at once; the desktop's indicator goes.
        session_.reset();
        Done done = std::move(done_);
        done_ = nullptr;
        done(std::move(outcome), restoreToken_);
    }

    QDBusConnection connection_;
    const std::uint32_t allowedModes_;
    QString restoreToken_;
    Done done_;
    QDBusServiceWatcher portalWatcher_;
    ScreenCastInfo info_;
    std::unique_ptr<PortalRequest, DeleteLater> request_;
    std::shared_ptr<PortalSession> session_;
};

}  // namespace

Error unavailable(PortalErrorCode code, const QString& reason) {
    return Error{kPortalErrorDomain, code,
                 std::string(kScreenSharingUnavailable) + reason.toStdString()};
}

std::unique_ptr<QObject, DeleteLater> presentScreenCast(QDBusConnection connection,
                                                        std::uint32_t allowedModes,
                                                        QString restoreToken,
                                                        PresentationDone done) {
    auto* presentation = new Presentation(std::move(connection), allowedModes,
                                          std::move(restoreToken), std::move(done));
    std::unique_ptr<QObject, DeleteLater> owner(presentation);
    presentation->begin();
    return owner;
}

}  // namespace skylark::portal
