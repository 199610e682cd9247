// A stand-in for a compositor's ScreenCast portal backend (xdg-desktop-portal-wlr 0.7 casts only
// with a GPU render node). Behind the real xdg-desktop-portal it serves each started session as a
// PipeWire node of a 640x480 output in R, G, B order: three frames of #3366cc, then red buffers
// without damage and green ones marked corrupted, which no consumer may show. The test also
// calls Choose(share), Sessions() and Revoke() (the desktop ends every session).
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>

#include <algorithm>
#include <map>
#include <memory>

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;
using Stream = std::pair<uint, QVariantMap>;  // (ua{sv}): node and properties
pw_thread_loop* loop;
pw_core* core;

// A video source drawn whenever the graph asks; its id is known once it can be linked.
struct ColourNode {
    ColourNode() {
        pw_thread_loop_lock(loop);
        stream = pw_stream_new(core, "skylark-test-screen",
                               pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void*, pw_stream_state, pw_stream_state, const char*) {
                pw_thread_loop_signal(loop, false);
            };
            e.process = &ColourNode::draw;
            return e;
        }();
        pw_stream_add_listener(stream, &hook, &events, this);
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        spa_rectangle size = SPA_RECTANGLE(kWidth, kHeight);
        spa_fraction rate = SPA_FRACTION(0, 1);
        const spa_pod* params[] = {
            static_cast<spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                SPA_POD_Id(SPA_VIDEO_FORMAT_RGBx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate))),
            static_cast<spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_size,
                SPA_POD_Int(kWidth * kHeight * 4), SPA_PARAM_BUFFERS_stride,
                SPA_POD_Int(kWidth * 4))),
            static_cast<spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_region))))};
        pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, PW_STREAM_FLAG_MAP_BUFFERS,
                          params, 3);
        while ((id = pw_stream_get_node_id(stream)) == SPA_ID_INVALID) {
            pw_thread_loop_wait(loop);
        }
        pw_thread_loop_unlock(loop);
    }
    ~ColourNode() {
        pw_thread_loop_lock(loop);
        pw_stream_destroy(stream);
        pw_thread_loop_unlock(loop);
    }
    static void draw(void* data) {
        auto* self = static_cast<ColourNode*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
        if (!buffer) {
            return;
        }
        spa_data& d = buffer->buffer->datas[0];  // mapped: the stream maps its buffers
        const int n = self->sent++;
        const bool good = n < 3, corrupted = !good && n % 2 == 0;
        const uint32_t bgr = good ? 0xcc6633 : corrupted ? 0x00ff00 : 0x0000ff;  // R, G, B, X
        std::fill_n(static_cast<uint32_t*>(d.data), kWidth * kHeight, bgr);
        *d.chunk = {0, kWidth * kHeight * 4, kWidth * 4,
                    int32_t(corrupted ? SPA_CHUNK_FLAG_CORRUPTED : 0)};
        if (auto* damage = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(
                buffer->buffer, SPA_META_VideoDamage, sizeof(spa_meta_region)))) {
            damage->region = SPA_REGION(0, 0, good ? kWidth : 0, good ? kHeight : 0);
        }
        pw_stream_queue_buffer(self->stream, buffer);
    }

    pw_stream* stream;
    spa_hook hook{};
    uint32_t id = SPA_ID_INVALID;
    int32_t sent = 0;
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
};

class Backend : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes MEMBER one_)  // monitors
    Q_PROPERTY(uint AvailableCursorModes MEMBER one_)  // hidden
    Q_PROPERTY(uint version MEMBER version_)

  public slots:
    uint CreateSession(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
                       const QVariantMap&, QVariantMap&) {
        const QString path = session.path();
        auto& s = sessions_[path] = std::make_unique<Session>();
        s->onClose = [this, path] { forget(path); };
        QDBusConnection::sessionBus().registerObject(path, s.get(),
                                                     QDBusConnection::ExportAllContents);
        return 0;
    }
    uint SelectSources(const QDBusObjectPath&, const QDBusObjectPath&, const QString&,
                       const QVariantMap&, QVariantMap&) {
        return share_ ? 0 : 1;
    }
    uint Start(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
               const QString&, const QVariantMap&, QVariantMap& results) {
        auto& node = sessions_.at(session.path())->node = std::make_unique<ColourNode>();
        const QVariantMap properties{
            {"size", QVariant::fromValue(std::pair<int, int>(kWidth, kHeight))},
            {"source_type", 1u}};
        results.insert("streams", QVariant::fromValue(QList<Stream>{{node->id, properties}}));
        return 0;
    }
    void Choose(bool share) { share_ = share; }
    uint Sessions() const { return uint(sessions_.size()); }
    void Revoke() {
        while (!sessions_.empty()) {  // its node goes first, as on a real desktop
            sessions_.begin()->second->node.reset();
            forget(sessions_.begin()->first);
        }
    }

  private:
    void forget(QString path) {  // the session may be the one running this call
        QDBusConnection::sessionBus().unregisterObject(path);
        sessions_.at(path).release()->deleteLater();
        sessions_.erase(path);
    }

    bool share_ = true;
    uint one_ = 1, version_ = 4;
    std::map<QString, std::unique_ptr<Session>> sessions_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("test-backend", nullptr);
    pw_thread_loop_start(loop);
    pw_thread_loop_lock(loop);
    core =
        pw_context_connect(pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0), nullptr, 0);
    pw_thread_loop_unlock(loop);
    qDBusRegisterMetaType<std::pair<int, int>>();
    qDBusRegisterMetaType<Stream>();
    qDBusRegisterMetaType<QList<Stream>>();
    Backend backend;
    QDBusConnection::sessionBus().registerObject(
        "/org/freedesktop/portal/desktop", &backend,
        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    return QDBusConnection::sessionBus().registerService(
               "org.freedesktop.impl.portal.desktop.skylarktest")
               ? app.exec()
               : 1;
}

#include "screencast_backend.moc"
