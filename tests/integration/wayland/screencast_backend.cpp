// A stand-in for a compositor's ScreenCast portal backend (xdg-desktop-portal-wlr 0.7 casts only
// with a GPU render node). Behind the real xdg-desktop-portal it serves each started session as a
// real PipeWire node of one 640x480 output in R, G, B order: three frames of #3366cc, then red
// buffers without damage and green ones marked corrupted, which no consumer may show. Besides the
// portal's methods, the test calls Choose(b) (share, or decline as a user does), Sessions() and
// Revoke() (the desktop ends every session, as its own indicator does).
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>

#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;
using Size = std::pair<int, int>;             // (ii)
using Stream = std::pair<uint, QVariantMap>;  // (ua{sv}): node and properties

// A PipeWire video source, drawn whenever the graph asks.
class ColourNode {
  public:
    ColourNode(pw_core* core, pw_thread_loop* loop) : loop_(loop) {
        pw_thread_loop_lock(loop_);
        stream_ = pw_stream_new(core, "skylark-test-screen",
                                pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &ColourNode::onState;
            e.param_changed = &ColourNode::onParam;
            e.process = &ColourNode::onProcess;
            return e;
        }();
        pw_stream_add_listener(stream_, &hook_, &events, this);
        uint8_t storage[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        spa_rectangle size = SPA_RECTANGLE(kWidth, kHeight);
        spa_fraction rate = SPA_FRACTION(0, 1);
        const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(SPA_VIDEO_FORMAT_RGBx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
        pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, PW_STREAM_FLAG_MAP_BUFFERS,
                          &format, 1);
        while (nodeId_ == SPA_ID_INVALID) {  // known once the stream can be linked
            pw_thread_loop_wait(loop_);
        }
        pw_thread_loop_unlock(loop_);
    }
    ~ColourNode() {
        pw_thread_loop_lock(loop_);
        pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
    }
    uint32_t nodeId() const { return nodeId_; }

  private:
    static void onState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<ColourNode*>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->nodeId_ = pw_stream_get_node_id(self->stream_);
        }
        pw_thread_loop_signal(self->loop_, false);
    }
    static void onParam(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<ColourNode*>(data);
        if (id != SPA_PARAM_Format || !param) {
            return;
        }
        uint8_t storage[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_size,
                SPA_POD_Int(kWidth * kHeight * 4), SPA_PARAM_BUFFERS_stride,
                SPA_POD_Int(kWidth * 4), SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_region))))};
        pw_stream_update_params(self->stream_, params, 2);
    }
    static void onProcess(void* data) {
        auto* self = static_cast<ColourNode*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (!buffer) {
            return;
        }
        spa_data& d = buffer->buffer->datas[0];
        const bool good = self->sent_ < 3, corrupted = !good && self->sent_ % 2 == 0;
        const uint32_t rgb = good ? 0x3366cc : corrupted ? 0x00ff00 : 0xff0000;
        const uint8_t pixel[4] = {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb), 0};
        for (uint32_t i = 0; d.data && i < kWidth * kHeight; ++i) {
            std::memcpy(static_cast<uint8_t*>(d.data) + 4 * i, pixel, 4);
        }
        *d.chunk = {0, kWidth * kHeight * 4, kWidth * 4,
                    int32_t(corrupted ? SPA_CHUNK_FLAG_CORRUPTED : 0)};
        if (auto* damage = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(
                buffer->buffer, SPA_META_VideoDamage, sizeof(spa_meta_region)))) {
            damage->region = good ? SPA_REGION(0, 0, kWidth, kHeight) : SPA_REGION(0, 0, 0, 0);
        }
        ++self->sent_;
        pw_stream_queue_buffer(self->stream_, buffer);
    }

    pw_thread_loop* loop_;
    pw_stream* stream_ = nullptr;
    spa_hook hook_{};
    uint32_t nodeId_ = SPA_ID_INVALID;
    uint32_t sent_ = 0;
};

// The frontend closes a session through it when the application does.
class Session : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Session")
  public:
    std::function<void()> onClose;
    std::unique_ptr<ColourNode> node;
  public slots:
    void Close() { onClose(); }
  signals:
    void Closed();
};

class Backend : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes MEMBER one_)  // monitors
    Q_PROPERTY(uint AvailableCursorModes MEMBER one_)  // hidden
    Q_PROPERTY(uint version MEMBER version_)

  public:
    explicit Backend(QDBusConnection bus) : bus_(bus) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("test-backend", nullptr);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0),
                                   nullptr, 0);
        pw_thread_loop_unlock(loop_);
    }

  public slots:
    uint CreateSession(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
                       const QVariantMap&, QVariantMap&) {
        const QString path = session.path();
        auto& s = sessions_[path] = std::make_unique<Session>();
        s->onClose = [this, path] { forget(path); };
        bus_.registerObject(path, s.get(), QDBusConnection::ExportAllContents);
        return 0;
    }
    uint SelectSources(const QDBusObjectPath&, const QDBusObjectPath&, const QString&,
                       const QVariantMap&, QVariantMap&) {
        return share_ ? 0 : 1;
    }
    uint Start(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
               const QString&, const QVariantMap&, QVariantMap& results) {
        auto& s = sessions_.at(session.path());
        s->node = std::make_unique<ColourNode>(core_, loop_);
        const QVariantMap properties{{"size", QVariant::fromValue(Size{kWidth, kHeight})},
                                     {"source_type", 1u}};
        results.insert("streams",
                       QVariant::fromValue(QList<Stream>{{s->node->nodeId(), properties}}));
        return 0;
    }
    void Choose(bool share) { share_ = share; }
    uint Sessions() const { return uint(sessions_.size()); }
    void Revoke() {
        while (!sessions_.empty()) {
            sessions_.begin()->second->node.reset();
            emit sessions_.begin()->second->Closed();
            forget(sessions_.begin()->first);
        }
    }

  private:
    void forget(QString path) {  // the session may be the one running this call
        bus_.unregisterObject(path);
        sessions_.at(path).release()->deleteLater();
        sessions_.erase(path);
    }

    QDBusConnection bus_;
    pw_thread_loop* loop_;
    pw_core* core_;
    bool share_ = true;
    uint one_ = 1, version_ = 4;
    std::map<QString, std::unique_ptr<Session>> sessions_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Size>();
    qDBusRegisterMetaType<Stream>();
    qDBusRegisterMetaType<QList<Stream>>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    Backend backend(bus);
    bus.registerObject("/org/freedesktop/portal/desktop", &backend,
                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    return bus.registerService("org.freedesktop.impl.portal.desktop.skylarktest") ? app.exec() : 1;
}

#include "screencast_backend.moc"
