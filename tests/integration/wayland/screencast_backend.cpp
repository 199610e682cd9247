// A stand-in for a compositor's ScreenCast portal backend, for machines on which no real one
// can cast (xdg-desktop-portal-wlr 0.7 needs a DMA-BUF capable renderer). It implements
// org.freedesktop.impl.portal.ScreenCast behind the real xdg-desktop-portal and serves each
// started session as a real PipeWire video node showing one colour, like a screen that shows a
// solid background.
//
//   skylark_test_screencast_backend <choice file> <RRGGBB>
//
// The choice file plays the user in the dialog, read at SelectSources: empty declines;
// otherwise "<output> [rgb] [still] [damage]": RGBx instead of BGRx; a few frames and then
// none, as a compositor sends for a screen that does not change; or, after a few frames of the
// colour, endless buffers of other colours that are marked undamaged or corrupted.
//
// org.skylark.test.ScreenCastBackend at /org/skylark/test: Revoke() ends every session as a
// desktop does when the user stops sharing from its own indicator; OpenSessions() counts them.

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QObject>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 480;
constexpr const char* kVendor = "skylark-test";

struct Size {
    int width = 0;
    int height = 0;
};
QDBusArgument& operator<<(QDBusArgument& a, const Size& s) {
    a.beginStructure();
    a << s.width << s.height;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Size& s) {
    a.beginStructure();
    a >> s.width >> s.height;
    a.endStructure();
    return a;
}

struct Stream {
    uint node = 0;
    QVariantMap properties;
};
QDBusArgument& operator<<(QDBusArgument& a, const Stream& s) {
    a.beginStructure();
    a << s.node << s.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Stream& s) {
    a.beginStructure();
    a >> s.node >> s.properties;
    a.endStructure();
    return a;
}

// (suv): what the frontend keeps behind a restore token and hands back at the next cast.
struct RestoreData {
    QString vendor;
    uint version = 0;
    QDBusVariant data;
};
QDBusArgument& operator<<(QDBusArgument& a, const RestoreData& r) {
    a.beginStructure();
    a << r.vendor << r.version << r.data;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, RestoreData& r) {
    a.beginStructure();
    a >> r.vendor >> r.version >> r.data;
    a.endStructure();
    return a;
}

}  // namespace

Q_DECLARE_METATYPE(Size)
Q_DECLARE_METATYPE(Stream)
Q_DECLARE_METATYPE(RestoreData)

namespace {

struct Mode {
    QString output;
    bool rgb = false;
    bool still = false;
    bool damage = false;
};

Mode readChoice(const QString& file) {
    QFile f(file);
    Mode mode;
    if (!f.open(QIODevice::ReadOnly)) {
        return mode;
    }
    const QStringList words = QString::fromUtf8(f.readAll()).split(' ', Qt::SkipEmptyParts);
    for (QString word : words) {
        word = word.trimmed();
        if (word == QLatin1String("rgb")) {
            mode.rgb = true;
        } else if (word == QLatin1String("still")) {
            mode.still = true;
        } else if (word == QLatin1String("damage")) {
            mode.damage = true;
        } else if (mode.output.isEmpty()) {
            mode.output = word;
        }
    }
    return mode;
}

// One PipeWire video source node that draws solid colours on its own clock.
class ColourNode {
  public:
    ColourNode(pw_core* core, pw_thread_loop* loop, Mode mode, uint32_t rgb)
        : loop_(loop), mode_(mode), rgb_(rgb) {
        pw_thread_loop_lock(loop_);
        stream_ = pw_stream_new(core, "skylark-test-screen",
                                pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source",
                                                  PW_KEY_MEDIA_TYPE, "Video", nullptr));
        static constexpr pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &ColourNode::onState;
            e.param_changed = &ColourNode::onParam;
            e.process = &ColourNode::onProcess;
            return e;
        }();
        pw_stream_add_listener(stream_, &hook_, &events, this);
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        spa_rectangle size = SPA_RECTANGLE(kWidth, kHeight);
        spa_fraction variable = SPA_FRACTION(0, 1);
        spa_fraction rate = SPA_FRACTION(30, 1);
        spa_fraction lowest = SPA_FRACTION(1, 1);
        const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(mode_.rgb ? SPA_VIDEO_FORMAT_RGBx : SPA_VIDEO_FORMAT_BGRx),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&rate, &lowest, &rate)));
        pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            &format, 1);
        timer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &ColourNode::onTick, this);
        timespec interval{0, 1'000'000'000 / 30};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &interval, &interval, false);
        // The node's id is known once the stream is paused (ready to be linked).
        while (nodeId_ == SPA_ID_INVALID && !failed_) {
            pw_thread_loop_wait(loop_);
        }
        pw_thread_loop_unlock(loop_);
    }

    ~ColourNode() {
        pw_thread_loop_lock(loop_);
        pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), timer_);
        spa_hook_remove(&hook_);
        pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
    }

    uint32_t nodeId() const { return nodeId_; }

  private:
    static void onState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<ColourNode*>(data);
        if (state == PW_STREAM_STATE_ERROR) {
            self->failed_ = true;
        } else if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->nodeId_ = pw_stream_get_node_id(self->stream_);
        }
        pw_thread_loop_signal(self->loop_, false);
    }

    static void onParam(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<ColourNode*>(data);
        if (id != SPA_PARAM_Format || !param) {
            return;
        }
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[3];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(kWidth * kHeight * 4), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(kWidth * 4), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
        params[1] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 4, sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * 4)));
        pw_stream_update_params(self->stream_, params, 3);
    }

    static void onTick(void* data, uint64_t) {
        auto* self = static_cast<ColourNode*>(data);
        // A still screen sends its first few frames and then nothing.
        if (!self->mode_.still || self->sent_ < 3) {
            pw_stream_trigger_process(self->stream_);
        }
    }

    static void onProcess(void* data) {
        auto* self = static_cast<ColourNode*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (!buffer) {
            return;
        }
        spa_buffer* b = buffer->buffer;
        spa_data& d = b->datas[0];
        if (!d.data) {
            pw_stream_queue_buffer(self->stream_, buffer);
            return;
        }
        // After a few good frames, the damage mode alternates an undamaged red buffer with a
        // corrupted green one: neither may ever reach a consumer's picture.
        enum class Kind { good, undamaged, corrupted };
        Kind kind = Kind::good;
        if (self->mode_.damage && self->sent_ >= 3) {
            kind = self->sent_ % 2 ? Kind::undamaged : Kind::corrupted;
        }
        const uint32_t rgb = kind == Kind::good        ? self->rgb_
                             : kind == Kind::undamaged ? 0xff0000u
                                                       : 0x00ff00u;
        const uint8_t r = rgb >> 16 & 0xff;
        const uint8_t g = rgb >> 8 & 0xff;
        const uint8_t bl = rgb & 0xff;
        const uint8_t pixel[4] = {self->mode_.rgb ? r : bl, g, self->mode_.rgb ? bl : r, 0};
        auto* bytes = static_cast<uint8_t*>(d.data);
        for (uint32_t i = 0; i < kWidth * kHeight; ++i) {
            std::memcpy(bytes + 4 * i, pixel, 4);
        }
        d.chunk->offset = 0;
        d.chunk->stride = kWidth * 4;
        d.chunk->size = kWidth * kHeight * 4;
        d.chunk->flags = kind == Kind::corrupted ? SPA_CHUNK_FLAG_CORRUPTED : 0;
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)))) {
            header->flags = kind == Kind::corrupted ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
            header->seq = self->sent_;
        }
        if (spa_meta* damage = spa_buffer_find_meta(b, SPA_META_VideoDamage)) {
            auto* regions = static_cast<spa_meta_region*>(damage->data);
            const size_t count = damage->size / sizeof(spa_meta_region);
            for (size_t i = 0; i < count; ++i) {
                regions[i].region = SPA_REGION(0, 0, 0, 0);
            }
            if (kind != Kind::undamaged && count > 0) {
                regions[0].region = SPA_REGION(0, 0, kWidth, kHeight);
            }
        }
        ++self->sent_;
        pw_stream_queue_buffer(self->stream_, buffer);
    }

    pw_thread_loop* loop_;
    const Mode mode_;
    const uint32_t rgb_;
    pw_stream* stream_ = nullptr;
    spa_hook hook_{};
    spa_source* timer_ = nullptr;
    uint32_t nodeId_ = SPA_ID_INVALID;
    bool failed_ = false;
    uint32_t sent_ = 0;
};

class Backend;

// org.freedesktop.impl.portal.Session: the frontend closes it when the application does.
class Session : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Session")

  public:
    Session(Backend& backend, QString path) : backend_(backend), path_(std::move(path)) {}
    Mode mode;
    uint persist = 0;
    std::unique_ptr<ColourNode> node;

  public slots:
    void Close();

  signals:
    void Closed();

  private:
    Backend& backend_;
    QString path_;
};

class Backend : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)
    Q_PROPERTY(uint version READ version)

  public:
    Backend(QDBusConnection bus, QString choiceFile, uint32_t rgb)
        : bus_(std::move(bus)), choiceFile_(std::move(choiceFile)), rgb_(rgb) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("test-backend", nullptr);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        pw_thread_loop_unlock(loop_);
    }

    bool connected() const { return core_ != nullptr; }
    uint sourceTypes() const { return 1; }
    uint cursorModes() const { return 1 | 2; }
    uint version() const { return 4; }

    // The session object may be the one running this call: it is deleted later.
    void forget(const QString& path) {
        bus_.unregisterObject(path);
        auto it = sessions_.find(path);
        if (it != sessions_.end()) {
            it->second.release()->deleteLater();
            sessions_.erase(it);
        }
    }

  public slots:
    uint CreateSession(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
                       const QVariantMap&, QVariantMap& results) {
        auto s = std::make_unique<Session>(*this, session.path());
        bus_.registerObject(session.path(), s.get(),
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
        sessions_[session.path()] = std::move(s);
        results.clear();
        return 0;
    }

    uint SelectSources(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
                       const QVariantMap& options, QVariantMap& results) {
        results.clear();
        auto it = sessions_.find(session.path());
        if (it == sessions_.end()) {
            return 2;
        }
        // A restore token leads here with the output of the earlier cast: no dialog.
        const QVariant restore = options.value(QStringLiteral("restore_data"));
        if (restore.canConvert<QDBusArgument>()) {
            RestoreData data;
            restore.value<QDBusArgument>() >> data;
            if (data.vendor == QLatin1String(kVendor)) {
                it->second->persist = options.value(QStringLiteral("persist_mode")).toUInt();
                it->second->mode.output = data.data.variant().toString();
                return 0;
            }
        }
        it->second->persist = options.value(QStringLiteral("persist_mode")).toUInt();
        it->second->mode = readChoice(choiceFile_);
        return it->second->mode.output.isEmpty() ? 1 : 0;
    }

    uint Start(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
               const QString&, const QVariantMap&, QVariantMap& results) {
        results.clear();
        auto it = sessions_.find(session.path());
        if (it == sessions_.end() || it->second->mode.output.isEmpty()) {
            return 2;
        }
        Session& s = *it->second;
        s.node = std::make_unique<ColourNode>(core_, loop_, s.mode, rgb_);
        if (s.node->nodeId() == SPA_ID_INVALID) {
            return 2;
        }
        Stream stream;
        stream.node = s.node->nodeId();
        stream.properties.insert(QStringLiteral("size"),
                                 QVariant::fromValue(Size{int(kWidth), int(kHeight)}));
        stream.properties.insert(QStringLiteral("source_type"), 1u);
        results.insert(QStringLiteral("streams"), QVariant::fromValue(QList<Stream>{stream}));
        if (s.persist != 0) {
            results.insert(QStringLiteral("persist_mode"), s.persist);
            results.insert(QStringLiteral("restore_data"),
                           QVariant::fromValue(RestoreData{QString::fromLatin1(kVendor), 1,
                                                           QDBusVariant(s.mode.output)}));
        }
        return 0;
    }

  private:
    QDBusConnection bus_;
    QString choiceFile_;
    uint32_t rgb_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::map<QString, std::unique_ptr<Session>> sessions_;

    friend class Control;
};

void Session::Close() {
    node.reset();
    backend_.forget(path_);
}

class Control : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.skylark.test.ScreenCastBackend")

  public:
    explicit Control(Backend& backend) : backend_(backend) {}

  public slots:
    uint OpenSessions() const { return static_cast<uint>(backend_.sessions_.size()); }

    void Revoke() {
        while (!backend_.sessions_.empty()) {
            auto it = backend_.sessions_.begin();
            Session* s = it->second.get();
            s->node.reset();
            emit s->Closed();
            backend_.forget(it->first);
        }
    }

  private:
    Backend& backend_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <choice file> <RRGGBB>\n", argv[0]);
        return 2;
    }
    qDBusRegisterMetaType<Size>();
    qDBusRegisterMetaType<Stream>();
    qDBusRegisterMetaType<QList<Stream>>();
    qDBusRegisterMetaType<RestoreData>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    Backend backend(bus, QString::fromLocal8Bit(argv[1]),
                    static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 16)));
    if (!backend.connected()) {
        std::fprintf(stderr, "cannot connect to PipeWire\n");
        return 1;
    }
    Control control(backend);
    bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &backend,
                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    bus.registerObject(QStringLiteral("/org/skylark/test"), &control,
                       QDBusConnection::ExportAllSlots);
    if (!bus.registerService(QStringLiteral("org.freedesktop.impl.portal.desktop.skylarktest"))) {
        std::fprintf(stderr, "cannot own the backend's name\n");
        return 1;
    }
    return app.exec();
}

#include "screencast_backend.moc"
