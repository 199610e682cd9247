#include "platform/portal/portal_request.hpp"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <atomic>

#include "platform/portal/portal_names.hpp"

namespace skylark::portal {

PortalRequest::PortalRequest(QDBusConnection connection, QDBusMessage message, QVariantMap options,
                             Done done, QObject* parent)
    : QObject(parent), connection_(std::move(connection)), done_(std::move(done)) {
    const QString token = uniqueToken("skylark_request");
    options.insert(QStringLiteral("handle_token"), token);
    listen(requestPath(connection_, token));

    message << options;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            finish({reply.error(), 2, {}});
            return;
        }
        // Portals before version 0.9 chose the path themselves.
        const QString path = reply.value().path();
        if (!finished_ && path != path_) {
            connection_.disconnect(QString(), path_, kRequestInterface, QStringLiteral("Response"),
                                   this, SLOT(onResponse(uint, QVariantMap)));
            listen(path);
        }
    });
}

PortalRequest::~PortalRequest() {
    abandon();
    connection_.disconnect(QString(), path_, kRequestInterface, QStringLiteral("Response"), this,
                           SLOT(onResponse(uint, QVariantMap)));
}

void PortalRequest::abandon() {
    done_ = nullptr;
    if (!finished_) {
        finished_ = true;
        connection_.send(QDBusMessage::createMethodCall(kPortalService, path_, kRequestInterface,
                                                        QStringLiteral("Close")));
    }
}

QString PortalRequest::uniqueToken(const char* prefix) {
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("%1_%2").arg(QLatin1String(prefix)).arg(++counter);
}

void PortalRequest::listen(const QString& path) {
    path_ = path;
    // Any sender: the portal's unique name is not known before it answers, and the path is
    // ours alone.
    connection_.connect(QString(), path_, kRequestInterface, QStringLiteral("Response"), this,
                        SLOT(onResponse(uint, QVariantMap)));
}

void PortalRequest::onResponse(uint code, const QVariantMap& results) {
    finish({std::nullopt, code, results});
}

void PortalRequest::finish(const PortalResponse& response) {
    if (finished_) {
        return;
    }
    finished_ = true;
    // The handler may replace this request; it is deleted later, from the event loop.
    Done done = std::move(done_);
    done_ = nullptr;
    if (done) {
        done(response);
    }
}

}  // namespace skylark::portal
