#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "caster/stream_writer.hpp"
#include "platform/gstreamer/offer_codecs.hpp"

typedef struct _GstCaps GstCaps;
typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;

namespace skylark {

// One viewer's peer connection: a pipeline of its own from two live sources (the writer's
// access units, its PCM) through the RTP payloaders (H.264 as it is, Opus from the PCM) into
// webrtcbin, answering the viewer's offer with host candidates only.
//
// Threads: the constructor, the destructor and the other calls on the owner's worker thread,
// never on one of GStreamer's; push*() from any thread, one call at a time, never blocking. The
// events come on webrtcbin's threads, must not block and must not call back into the session.
class ViewerSession {
  public:
    struct Events {
        std::function<void()> gathered;                   // answerText() is complete now
        std::function<void(std::string reason)> refused;  // webrtcbin would not take the offer
        std::function<void(bool connected)> connection;   // connected, or failed/closed
    };

    // Builds and starts the pipeline and begins answering; media times are counted from
    // `base_ns` (CLOCK_MONOTONIC), so anything stamped earlier is dropped. Throws
    // std::runtime_error when the pipeline cannot be built.
    ViewerSession(const std::string& offer, const OfferCodecs& codecs, std::int64_t base_ns,
                  Events events);
    ~ViewerSession();
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    // Closes the DTLS connection with its alert, so the viewer's transport closes at once
    // instead of waiting for its checks to go unanswered. The alert is sent from GStreamer's
    // thread: destroy the session a moment later.
    void sayGoodbye();
    // Once the connection is up (after the `connection` event said so).
    void connected();
    // When the viewer last sent a report (RTCP); the session's start before the first.
    std::chrono::steady_clock::time_point lastHeard() const;
    // The local description as text, with its candidates; empty before it is set.
    std::string answerText();
    // Send once connected, one call at a time: the writer's video access units from the next
    // key frame on (and again from a key frame after anything was dropped because the peer
    // could not keep up), and the cast's Opus (OpusEncoder's samples).
    void pushVideo(const EncodedMedia& unit);
    void pushOpus(GstSample* sample);

  private:
    struct Link;
    void disconnect();
    GstElement* pipeline_ = nullptr;
    GstElement* webrtc_ = nullptr;
    GstElement* video_ = nullptr;
    GstElement* audio_ = nullptr;
    const std::int64_t base_ns_;
    bool hasAudio_ = false;  // the viewer takes Opus
    std::shared_ptr<Link> link_;
    GstElement* rtpbin_ = nullptr;  // inside webrtc_
    // Of webrtc_: gathering and connection state; of rtpbin_: reports and goodbyes.
    // and of transport_: its DTLS state.
    unsigned long handlers_[5] = {0, 0, 0, 0, 0};
    struct _GstWebRTCDTLSTransport* transport_ = nullptr;
    // Touched by the push calls only.
    bool keyed_ = false;
    GstCaps* audioCaps_ = nullptr;  // set on the audio source
};

}  // namespace skylark
