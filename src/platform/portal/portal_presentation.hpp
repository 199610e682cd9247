#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <variant>

#include "caster/capture_platform.hpp"
#include "platform/portal/portal_content_picker.hpp"

namespace skylark::portal {

// The picker modes that offer windows rather than whole screens.
inline constexpr std::uint32_t kApplicationModes =
    PickerMode::singleWindow | PickerMode::multipleWindows | PickerMode::singleApplication |
    PickerMode::multipleApplications;

// The error the user reads: "Screen sharing is not available on this desktop: " and `reason`.
Error unavailable(PortalErrorCode code, const QString& reason);

struct Cancelled {};
using Outcome = std::variant<std::shared_ptr<const ContentFilter>, Cancelled, Error>;

// Deleted from the event loop: a request or presentation may be the one reporting its outcome.
struct DeleteLater {
    void operator()(QObject* o) const { o->deleteLater(); }
};

// One presentation of the portal's dialog: probe, CreateSession, SelectSources, Start and
// OpenPipeWireRemote, each waiting for the portal's answer in the event loop. `done` is called
// once, from the event loop, with the outcome and the newest restore token (empty when the
// portal gave none), never before this returns. Deleting the presentation abandons it without
// an outcome.
using PresentationDone = std::function<void(Outcome, QString restoreToken)>;
std::unique_ptr<QObject, DeleteLater> presentScreenCast(QDBusConnection connection,
                                                        std::uint32_t allowedModes,
                                                        QString restoreToken,
                                                        PresentationDone done);

}  // namespace skylark::portal
