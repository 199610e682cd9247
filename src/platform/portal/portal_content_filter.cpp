#include "platform/portal/portal_content_filter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusMessage>

#include "platform/portal/portal_names.hpp"

namespace skylark {

PortalSession::PortalSession(QDBusConnection connection, QString path)
    : connection_(std::move(connection)), path_(std::move(path)) {}

PortalSession::~PortalSession() {
    close();
}

void PortalSession::close() {
    if (closed_.exchange(true)) {
        return;
    }
    // Sent without waiting for an answer: it may come from a capture thread or a destructor.
    connection_.send(QDBusMessage::createMethodCall(
        portal::kPortalService, path_, portal::kSessionInterface, QStringLiteral("Close")));
}

PortalContentFilter::PortalContentFilter(std::shared_ptr<PortalSession> session, int remoteFd,
                                         std::uint32_t nodeId, Kind kind, ContentSize size,
                                         float pixelScale)
    : session_(std::move(session)),
      remoteFd_(remoteFd),
      nodeId_(nodeId),
      kind_(kind),
      size_(size),
      pixelScale_(pixelScale) {}

PortalContentFilter::~PortalContentFilter() {
    if (remoteFd_ >= 0) {
        ::close(remoteFd_);
    }
}

int PortalContentFilter::openRemote() const {
    // The descriptor is handed on as a copy: each PipeWire connection owns and closes its own.
    // Without a copy (-1) the stream uses the session's own daemon, where a program outside a
    // sandbox sees the node too.
    return remoteFd_ >= 0 ? ::fcntl(remoteFd_, F_DUPFD_CLOEXEC, 0) : -1;
}

}  // namespace skylark
