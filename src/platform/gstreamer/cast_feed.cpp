// The cast's side of the viewers: the writer they follow, and what it hands them.
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "platform/gstreamer/offer_codecs.hpp"
#include "platform/gstreamer/opus_encoder.hpp"
#include "platform/gstreamer/viewer_session.hpp"
#include "platform/gstreamer/webrtc_sender.hpp"

namespace skylark {
namespace {

// Ends a cast's sessions with its writer, whichever way the writer goes.
class ViewedWriter final : public StreamWriter {
  public:
    ViewedWriter(std::shared_ptr<StreamWriter> inner, std::shared_ptr<WebRTCSender> sender)
        : inner_(std::move(inner)), sender_(std::move(sender)), cast_(sender_->castStarted()) {
        inner_->subscribe(sender_);
    }
    ~ViewedWriter() override { sender_->castEnded(cast_); }

    bool start(std::int64_t sessionStart_ns) override { return inner_->start(sessionStart_ns); }
    bool isReadyFor(MediaKind kind) const override { return inner_->isReadyFor(kind); }
    bool appendVideo(const VideoFrame& frame) override { return inner_->appendVideo(frame); }
    bool appendAudio(const AudioBuffer& buffer) override { return inner_->appendAudio(buffer); }
    WriterStatus status() const override { return inner_->status(); }
    std::optional<Error> failure() const override { return inner_->failure(); }
    void cancel() override {
        inner_->cancel();
        sender_->castEnded(cast_);
    }
    void subscribe(std::weak_ptr<EncodedMediaSubscriber> subscriber) override {
        inner_->subscribe(std::move(subscriber));
    }

  private:
    const std::shared_ptr<StreamWriter> inner_;
    const std::shared_ptr<WebRTCSender> sender_;
    const std::uint64_t cast_;
};

}  // namespace

StreamWriterFactory withWebRTCViewers(StreamWriterFactory makeWriter,
                                      std::shared_ptr<WebRTCSender> sender) {
    return [makeWriter = std::move(makeWriter), sender = std::move(sender)](
               const WriterSettings& settings,
               std::weak_ptr<StreamWriterDelegate> delegate) -> StreamWriterResult {
        StreamWriterResult made = makeWriter(settings, std::move(delegate));
        if (auto* writer = std::get_if<std::shared_ptr<StreamWriter>>(&made)) {
            return std::make_shared<ViewedWriter>(std::move(*writer), sender);
        }
        return made;
    };
}

void WebRTCSender::writerDidEncode(const EncodedMedia& media) {
    std::lock_guard guard(lock_);
    if (media.keyFrame && media.data) {
        profile_ = streamProfile(*media.data).value_or(profile_);
    }
    if (media.kind == MediaKind::audio) {
        if (opus_) {
            opus_->push(media.audio);
        }
        return;
    }
    for (auto& [id, session] : sessions_) {
        if (session.pipeline) {
            session.pipeline->pushVideo(media);
        }
    }
}

void WebRTCSender::encodeSoundIfNeeded() {
    std::int64_t base_ns = 0;
    {
        std::lock_guard guard(lock_);
        if (opus_) {
            return;
        }
        base_ns = base_ns_;
    }
    std::unique_ptr<OpusEncoder> encoder;
    try {
        encoder = std::make_unique<OpusEncoder>(base_ns, [this](GstSample* sample) {
            std::lock_guard guard(lock_);
            for (auto& [id, session] : sessions_) {
                if (session.pipeline) {
                    session.pipeline->pushOpus(sample);
                }
            }
        });
    } catch (const std::exception& error) {
        // The viewers still get the picture; say why they hear nothing.
        std::fprintf(stderr, "WebRTC viewers get no sound: %s\n", error.what());
        return;
    }
    std::lock_guard guard(lock_);
    opus_ = std::move(encoder);
}

void WebRTCSender::dropEncoderIfIdle() {
    std::unique_ptr<OpusEncoder> idle;
    {
        std::lock_guard guard(lock_);
        if (sessions_.empty()) {
            idle = std::move(opus_);
        }
    }
    // Stopped here, without the lock: its last delivery may be waiting for it.
}

}  // namespace skylark
