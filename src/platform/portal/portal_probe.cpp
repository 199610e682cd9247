#include "platform/portal/portal_probe.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
#include <QVariantMap>

#include "platform/portal/portal_names.hpp"

namespace skylark::portal {
namespace {

QString reasonFor(const QDBusError& error) {
    if (error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return QStringLiteral("the desktop portal (xdg-desktop-portal) is not running.");
    }
    switch (error.type()) {
        case QDBusError::ServiceUnknown:
            return QStringLiteral("the desktop portal (xdg-desktop-portal) is not running.");
        case QDBusError::UnknownInterface:
        case QDBusError::UnknownMethod:
        case QDBusError::UnknownObject:
        case QDBusError::UnknownProperty:
        case QDBusError::InvalidArgs:
            return QStringLiteral(
                "the desktop portal cannot share the screen; it needs the portal backend of "
                "this desktop (such as xdg-desktop-portal-gnome, -kde or -wlr).");
        case QDBusError::NoReply:
        case QDBusError::Timeout:
        case QDBusError::TimedOut:
            return QStringLiteral("the desktop portal did not answer.");
        case QDBusError::Disconnected:
            return QStringLiteral("the connection to the D-Bus session bus was lost.");
        default:
            return QStringLiteral("the desktop portal answered with an error (%1).")
                .arg(error.message().isEmpty() ? error.name() : error.message());
    }
}

}  // namespace

QDBusConnection connectToPortalBus(const std::string& busAddress) {
    if (busAddress.empty()) {
        return QDBusConnection::sessionBus();
    }
    const QString address = QString::fromStdString(busAddress);
    return QDBusConnection::connectToBus(address, QStringLiteral("skylark-portal ") + address);
}

void probeScreenCast(const QDBusConnection& connection, QObject* context,
                     std::function<void(const ProbeResult&)> done) {
    if (!connection.isConnected()) {
        // Reported from the event loop, like every other outcome.
        QTimer::singleShot(0, context, [done] {
            done(QStringLiteral("there is no D-Bus session bus to reach the desktop portal on."));
        });
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        kPortalService, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("GetAll"));
    message << kScreenCastInterface;
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(message), context);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, context, [done](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            QDBusPendingReply<QVariantMap> reply = *w;
            if (reply.isError()) {
                done(reasonFor(reply.error()));
                return;
            }
            const QVariantMap properties = reply.value();
            // Without a backend for this desktop the portal still answers,
            // offering nothing to share.
            if (properties.value(QStringLiteral("AvailableSourceTypes")).toUInt() == 0) {
                done(reasonFor(QDBusError(QDBusError::UnknownInterface, {})));
                return;
            }
            ScreenCastInfo info;
            info.version = properties.value(QStringLiteral("version")).toUInt();
            info.sourceTypes = properties.value(QStringLiteral("AvailableSourceTypes")).toUInt();
            info.cursorModes = properties.value(QStringLiteral("AvailableCursorModes")).toUInt();
            done(info);
        });
}

}  // namespace skylark::portal
