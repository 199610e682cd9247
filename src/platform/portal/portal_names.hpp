#pragma once

#include <QDBusConnection>
#include <QString>

namespace skylark::portal {

// The desktop portal's well-known names.
inline const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString kScreenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
inline const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
inline const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");

// ScreenCast source types and cursor modes (bit values of the portal's properties).
inline constexpr uint kSourceMonitor = 1;
inline constexpr uint kSourceWindow = 2;
inline constexpr uint kCursorHidden = 1;
inline constexpr uint kCursorEmbedded = 2;
// Persist mode 1: a restore token stays good while this process runs.
inline constexpr uint kPersistWhileRunning = 1;

// The object path on which the portal answers a request made with `token` by this connection:
// /org/freedesktop/portal/desktop/request/<sender>/<token>, the sender being the connection's
// unique name without its colon and with dots as underscores.
inline QString requestPath(const QDBusConnection& connection, const QString& token) {
    QString sender = connection.baseService();
    if (sender.startsWith(QLatin1Char(':'))) {
        sender.remove(0, 1);
    }
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

}  // namespace skylark::portal
