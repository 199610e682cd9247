#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace skylark::portal {

// The answer to one portal request: the call itself failed (`callError`), or the portal's
// Response signal arrived with its code (0 success, 1 cancelled by the user, 2 ended in
// another way) and results.
struct PortalResponse {
    std::optional<QDBusError> callError;
    uint code = 2;
    QVariantMap results;
};

// One call of a portal method that answers through an org.freedesktop.portal.Request object:
// the options get a fresh handle_token, the Response signal of the request path is subscribed
// before the call (so a fast answer cannot be missed), and the answer arrives through
// `done`, once, from the Qt event loop of the thread that made the request.
//
// Deleting the request before the answer abandons it: the portal is told to close it (its
// dialog goes away) and `done` is not called.
class PortalRequest : public QObject {
    Q_OBJECT

  public:
    using Done = std::function<void(const PortalResponse&)>;

    // `message` is the method call without its options; `options` are appended as its last
    // argument with the handle_token added.
    PortalRequest(QDBusConnection connection, QDBusMessage message, QVariantMap options, Done done,
                  QObject* parent = nullptr);
    ~PortalRequest() override;

    // Gives up waiting: the portal is told to close the request (its dialog goes away) and
    // `done` will not be called. Also done by the destructor.
    void abandon();

    // A token no other request or session of this process uses.
    static QString uniqueToken(const char* prefix);

  private slots:
    void onResponse(uint code, const QVariantMap& results);

  private:
    void listen(const QString& path);
    void finish(const PortalResponse& response);

    QDBusConnection connection_;
    QString path_;
    Done done_;
    bool finished_ = false;
};

}  // namespace skylark::portal
