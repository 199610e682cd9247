#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "caster/stream_writer.hpp"
#include "common/error.hpp"
#include "http/webrtc_viewers.hpp"

namespace skylark {

class OpusEncoder;
class ViewerSession;

// The native cast's WebRTC viewers: up to kMaxViewers peer connections that share the one
// video encode and one Opus encode of the sound. Each takes the writer's access units and PCM as
// they come (subscribed to the cast's writer), and a viewer that stalls loses only its own media.
//
// Threads: open() and close() from the server thread, castStarted() and castEnded() from the
// caster's threads, writerDidEncode() from the writer's (video) and the capture's (sound); all
// of them return without waiting for GStreamer. Pipelines are built and torn down on a thread
// of this object's own ("skylark-webrtc"), never on one of GStreamer's.
class WebRTCSender final : public WebRTCViewers, public EncodedMediaSubscriber {
  public:
    static constexpr std::size_t kMaxViewers = 4;

    // A session that has not connected this long after its offer came ends.
    static constexpr std::chrono::milliseconds kConnectWait{15000};
    // A connected viewer that has sent no report this long has gone (switched off, left the
    // network) without saying so; its session ends and its place is free again.
    static constexpr std::chrono::milliseconds kSilenceLimit{10000};

    // Fails, saying what is missing, when GStreamer or one of its elements is not installed.
    static std::variant<std::shared_ptr<WebRTCSender>, Error> create(
        std::chrono::milliseconds connectWait = kConnectWait);
    // Ends every session and waits for their pipelines to stop.
    ~WebRTCSender() override;
    WebRTCSender(const WebRTCSender&) = delete;
    WebRTCSender& operator=(const WebRTCSender&) = delete;

    // A cast begins: the sessions of the one before end, new ones are taken. The returned number
    // names the cast for castEnded().
    std::uint64_t castStarted();
    // The cast `cast` has ended (Stop Casting, a failure, Quit): its sessions end, and no new
    // ones are taken until the next castStarted(). Nothing when another cast has begun since.
    void castEnded(std::uint64_t cast);

    // Ends every session and returns once their viewers have been told (at Quit). Not on this
    // object's own thread.
    void finish();

    void open(std::string offer, AnswerHandler done) override;
    bool close(std::string_view id) override;
    void writerDidEncode(const EncodedMedia& media) override;

    // Sessions held, answered or not (for tests and benches).
    std::size_t sessionCount() const;

    explicit WebRTCSender(std::chrono::milliseconds connectWait);

  private:
    struct Session {
        std::shared_ptr<ViewerSession> pipeline;  // null until built
        AnswerHandler done;                       // until answered
        std::chrono::steady_clock::time_point giveUpAt;
        bool connected = false;
    };
    using Task = std::function<void(WebRTCSender&)>;
    // What webrtcbin's threads post to: independent of this object, so that no callback can
    // keep it alive or end its life on one of GStreamer's threads.
    struct Mailbox {
        std::mutex lock;
        std::condition_variable wake;
        std::deque<Task> tasks;
        bool stopping = false;
        void post(Task task);
    };

    void run();
    // The shared Opus encoder runs while there are sessions: made with the first, dropped
    // after the last, on this object's thread.
    void encodeSoundIfNeeded();
    void dropEncoderIfIdle();
    // Says goodbye to the viewers of `pipelines`, then stops them, on this object's thread.
    static void stop(std::vector<std::shared_ptr<ViewerSession>> pipelines);
    void build(const std::string& id, const std::string& offer, const struct OfferCodecs& codecs);
    void answer(const std::string& id);
    void refuse(const std::string& id, const std::string& reason);
    void connection(const std::string& id, bool connected);
    void end(const std::string& id);
    // Takes every session out; their pipelines stop on this object's thread.
    void endAll(std::unique_lock<std::mutex>& held);
    void expire();

    const std::chrono::milliseconds connectWait_;
    const std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
    mutable std::mutex lock_;  // guards what follows
    std::map<std::string, Session, std::less<>> sessions_;
    std::uint64_t cast_ = 0;
    bool live_ = false;
    // Media times of the cast's pipelines count from here (CLOCK_MONOTONIC).
    std::int64_t base_ns_ = 0;
    std::unique_ptr<OpusEncoder> opus_;
    // The profile-level-id of the writer's stream, from its newest key frame.
    std::string profile_ = "42e01f";
    std::thread thread_;
};

// The writer factory of a cast that the viewers follow: every writer it makes feeds `sender`,
// whose sessions end when that writer is cancelled or dropped.
StreamWriterFactory withWebRTCViewers(StreamWriterFactory makeWriter,
                                      std::shared_ptr<WebRTCSender> sender);

}  // namespace skylark
