#pragma once

#include <QDBusConnection>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/pipewire/pipewire_content_filter.hpp"

namespace skylark {

// An open ScreenCast session of the desktop portal. The desktop keeps sharing (and shows its
// indicator) while the session is open; close() ends it, once, from any thread, and so does
// the destructor.
class PortalSession {
  public:
    PortalSession(QDBusConnection connection, QString path);
    ~PortalSession();
    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

    const QString& path() const { return path_; }
    void close();

  private:
    QDBusConnection connection_;
    const QString path_;
    std::atomic<bool> closed_{false};
};

// A display or window chosen in the portal's dialog: the PipeWire node that shows it, the
// PipeWire connection the portal opened for this process, and the session that grants both.
// The size is the one the portal reported, in the compositor's coordinates; the pixel scale is
// how many more pixels the stream's pictures have (2 on a screen the compositor scales by 2).
class PortalContentFilter final : public PipeWireContentFilter {
  public:
    enum class Kind { display, window };

    // Takes ownership of `remoteFd`.
    PortalContentFilter(std::shared_ptr<PortalSession> session, int remoteFd, std::uint32_t nodeId,
                        Kind kind, ContentSize size, float pixelScale = 1.0f);
    ~PortalContentFilter() override;

    ContentSize contentRect() const override { return size_; }
    float pointPixelScale() const override { return pixelScale_; }

    int openRemote() const override;
    std::uint32_t nodeId() const override { return nodeId_; }
    void release() const override { session_->close(); }

    Kind kind() const { return kind_; }
    const PortalSession& session() const { return *session_; }

  private:
    const std::shared_ptr<PortalSession> session_;
    const int remoteFd_;
    const std::uint32_t nodeId_;
    const Kind kind_;
    const ContentSize size_;
    const float pixelScale_;
};

}  // namespace skylark
