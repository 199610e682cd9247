#include "platform/gstreamer/viewer_session.hpp"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <stdexcept>

#include "platform/gstreamer/capture_pipeline.hpp"

namespace skylark {
namespace {

// A peer that falls this far behind has stopped reading: what it has not taken is dropped and
// it starts again at a key frame, so it never holds the writer or the other viewers.
constexpr guint64 kMaxQueuedVideoBytes = 4 * 1024 * 1024;
constexpr guint64 kMaxQueuedAudioBytes = 512 * 1024;

// The sound comes encoded (OpusEncoder, one for every viewer): each viewer only packetizes it.
constexpr const char* kPipeline =
    "appsrc name=video is-live=true format=time do-timestamp=false "
    "  caps=video/x-h264,stream-format=byte-stream,alignment=au "
    "! h264parse ! rtph264pay name=vpay config-interval=-1 aggregate-mode=zero-latency "
    "appsrc name=audio is-live=true format=time do-timestamp=false ! rtpopuspay name=apay "
    "webrtcbin name=webrtc bundle-policy=max-bundle";

template <class T>
struct Unref {
    void operator()(T* object) const { gst_object_unref(object); }
};

// Holds a ByteBuffer or PCM alive for as long as GStreamer uses its bytes.
template <class Held>
GstBuffer* wrap(Held held, const void* data, gsize size) {
    auto* keep = new Held(std::move(held));
    return gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<void*>(data), size, 0,
                                       size, keep,
                                       [](gpointer p) { delete static_cast<Held*>(p); });
}

// Calls `use` with every element made by `factoryName` inside `bin`, at any depth.
template <class Use>
void forEachMadeBy(GstElement* bin, const char* factoryName, const Use& use) {
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(bin));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        GstElement* element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* factory = gst_element_get_factory(element);
        if (factory != nullptr &&
            g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), factoryName) == 0) {
            use(element);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
}

std::string replyError(GstPromise* promise) {
    const GstStructure* reply = gst_promise_get_reply(promise);
    GError* error = nullptr;
    if (reply != nullptr && gst_structure_has_field(reply, "error")) {
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
    }
    std::string text = error != nullptr ? error->message : "";
    g_clear_error(&error);
    return text;
}

}  // namespace

// What webrtcbin's callbacks reach: they may run after the session has begun to go, so they
// look at `closed` under the lock before touching webrtcbin.
struct ViewerSession::Link {
    std::mutex lock;
    bool closed = false;
    GstElement* webrtc = nullptr;
    ViewerSession::Events events;
    std::atomic<bool> connected{false};
    std::atomic<std::int64_t> heard_ns{captureClockNow_ns()};  // the viewer's last RTCP

    // A reference per callback that GLib keeps, dropped with its destroy notify.
    static gpointer hold(const std::shared_ptr<Link>& link) {
        return new std::shared_ptr<Link>(link);
    }
    static void drop(gpointer data, GClosure* = nullptr) {
        delete static_cast<std::shared_ptr<Link>*>(data);
    }
    static Link& of(gpointer data) { return **static_cast<std::shared_ptr<Link>*>(data); }
};

ViewerSession::ViewerSession(const std::string& offer, const OfferCodecs& codecs,
                             std::int64_t base_ns, Events events)
    : base_ns_(base_ns), link_(std::make_shared<Link>()) {
    link_->events = std::move(events);
    pipeline_ = makeCapturePipeline(kPipeline, base_ns, "The WebRTC pipeline");
    webrtc_ = gst_bin_get_by_name(GST_BIN(pipeline_), "webrtc");
    video_ = gst_bin_get_by_name(GST_BIN(pipeline_), "video");
    audio_ = gst_bin_get_by_name(GST_BIN(pipeline_), "audio");
    link_->webrtc = webrtc_;

    // A LAN needs neither TCP candidates nor STUN or TURN: host candidates over UDP only.
    GObject* agent = nullptr;
    g_object_get(webrtc_, "ice-agent", &agent, nullptr);
    if (agent != nullptr) {
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "ice-tcp") != nullptr) {
            g_object_set(agent, "ice-tcp", FALSE, nullptr);
        }
        g_object_unref(agent);
    }

    const auto attach = [&](const char* payloaderName, int pt, const char* media,
                            const char* encoding, int rate) {
        // A browser syncs the picture to the sound only for tracks of one stream: the answer
        // names both streams' sources with one stream id, which needs their SSRCs up front.
        const guint ssrc = g_random_int();
        GstElement* payloader = gst_bin_get_by_name(GST_BIN(pipeline_), payloaderName);
        g_object_set(payloader, "pt", pt, "ssrc", ssrc, nullptr);
        GstPad* sink = gst_element_request_pad_simple(webrtc_, "sink_%u");
        g_object_set(sink, "msid", "skylark-cast", nullptr);
        GstPad* source = gst_element_get_static_pad(payloader, "src");
        const bool linked = gst_pad_link(source, sink) == GST_PAD_LINK_OK;
        gst_object_unref(source);
        gst_object_unref(payloader);
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_object_get(sink, "transceiver", &transceiver, nullptr);
        gst_object_unref(sink);
        if (!linked || transceiver == nullptr) {
            throw std::runtime_error("The WebRTC pipeline could not be linked.");
        }
        // The answer takes the offer's payload type and its format parameters as they are. No
        // profile or level here: they would bind the payloader's input, and the writer's level
        // follows the picture's size (the offers allow a higher level than they name).
        const std::string text =
            std::string("application/x-rtp,media=") + media + ",encoding-name=" + encoding +
            ",clock-rate=" + std::to_string(rate) + ",payload=" + std::to_string(pt) +
            ",ssrc=(uint)" + std::to_string(ssrc);
        GstCaps* caps = gst_caps_from_string(text.c_str());
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                     "codec-preferences", caps, nullptr);
        gst_caps_unref(caps);
        gst_object_unref(transceiver);
    };
    try {
        attach("vpay", codecs.videoPayload, "video", "H264", 90000);
        if (codecs.audioPayload) {
            attach("apay", *codecs.audioPayload, "audio", "OPUS", 48000);
            hasAudio_ = true;
        }
    } catch (...) {
        gst_object_unref(video_), gst_object_unref(audio_), gst_object_unref(webrtc_);
        gst_object_unref(pipeline_);
        throw;
    }

    handlers_[0] =
        g_signal_connect_data(webrtc_, "notify::ice-gathering-state",
                              G_CALLBACK(+[](GstElement* webrtc, GParamSpec*, gpointer data) {
                                  GstWebRTCICEGatheringState state;
                                  g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
                                  if (state == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) {
                                      Link::of(data).events.gathered();
                                  }
                              }),
                              Link::hold(link_), Link::drop, GConnectFlags{});
    handlers_[1] =
        g_signal_connect_data(webrtc_, "notify::connection-state",
                              G_CALLBACK(+[](GstElement* webrtc, GParamSpec*, gpointer data) {
                                  GstWebRTCPeerConnectionState state;
                                  g_object_get(webrtc, "connection-state", &state, nullptr);
                                  Link& link = Link::of(data);
                                  if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
                                      link.connected = true;
                                      link.events.connection(true);
                                  } else if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ||
                                             state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
                                      link.connected = false;
                                      link.events.connection(false);
                                  }
                              }),
                              Link::hold(link_), Link::drop, GConnectFlags{});

    // Sender reports map RTP times to capture times, not send times (the picture leaves after
    // its encode, the sound well before): a viewer syncs the two by them. Here and in rtpbin.
    forEachMadeBy(webrtc_, "rtpsession", [](GstElement* session) {
        g_object_set(session, "rtcp-sync-send-time", FALSE, nullptr);
    });
    // A viewer reports what it receives about once a second: its reports keep the session, and
    // its goodbye ends it.
    forEachMadeBy(webrtc_, "rtpbin", [&](GstElement* rtpbin) {
        rtpbin_ = rtpbin;
        g_object_set(rtpbin, "rtcp-sync-send-time", FALSE, nullptr);
        handlers_[2] = g_signal_connect_data(
            rtpbin, "on-ssrc-active", G_CALLBACK(+[](GstElement*, guint, guint, gpointer data) {
                Link::of(data).heard_ns = captureClockNow_ns();
            }),
            Link::hold(link_), Link::drop, GConnectFlags{});
        handlers_[3] = g_signal_connect_data(
            rtpbin, "on-bye-ssrc", G_CALLBACK(+[](GstElement*, guint, guint, gpointer data) {
                Link::of(data).events.connection(false);
            }),
            Link::hold(link_), Link::drop, GConnectFlags{});
    });

    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        disconnect();
        gst_object_unref(video_), gst_object_unref(audio_), gst_object_unref(webrtc_);
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        throw std::runtime_error("The WebRTC pipeline could not start.");
    }

    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new_from_text(offer.c_str(), &sdp);
    GstWebRTCSessionDescription* description =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    // Remote description, then the answer, then the local description; each step on webrtcbin's
    // thread when the one before has completed.
    GstPromise* remoteSet = gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) {
            Link& link = Link::of(data);
            const std::string failure = replyError(promise);
            gst_promise_unref(promise);
            std::lock_guard guard(link.lock);
            if (link.closed) {
                return;
            }
            if (!failure.empty()) {
                link.events.refused("The offer was refused: " + failure);
                return;
            }
            GstPromise* answered = gst_promise_new_with_change_func(
                [](GstPromise* promise, gpointer data) {
                    Link& link = Link::of(data);
                    const GstStructure* reply = gst_promise_get_reply(promise);
                    GstWebRTCSessionDescription* answer = nullptr;
                    if (reply != nullptr && gst_structure_has_field(reply, "answer")) {
                        gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION,
                                          &answer, nullptr);
                    }
                    const std::string failure = replyError(promise);
                    gst_promise_unref(promise);
                    std::lock_guard guard(link.lock);
                    if (!link.closed && answer != nullptr) {
                        g_signal_emit_by_name(link.webrtc, "set-local-description", answer,
                                              nullptr);
                    } else if (!link.closed) {
                        link.events.refused("No answer could be made to the offer" +
                                            (failure.empty() ? "." : ": " + failure));
                    }
                    if (answer != nullptr) {
                        gst_webrtc_session_description_free(answer);
                    }
                },
                Link::hold(*static_cast<std::shared_ptr<Link>*>(data)),
                [](gpointer data) { Link::drop(data); });
            g_signal_emit_by_name(link.webrtc, "create-answer", nullptr, answered);
        },
        Link::hold(link_), [](gpointer data) { Link::drop(data); });
    g_signal_emit_by_name(webrtc_, "set-remote-description", description, remoteSet);
    gst_webrtc_session_description_free(description);
}

ViewerSession::~ViewerSession() {
    {
        std::lock_guard guard(link_->lock);
        link_->closed = true;
    }
    disconnect();
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(video_);
    gst_object_unref(audio_);
    gst_object_unref(webrtc_);
    gst_object_unref(pipeline_);
    gst_caps_replace(&audioCaps_, nullptr);
    if (transport_ != nullptr) {
        gst_object_unref(transport_);
    }
}

void ViewerSession::sayGoodbye() {
    if (!link_->connected) {
        return;  // no DTLS connection to close
    }
    // The end of the stream at the DTLS encoder sends its close_notify alert.
    forEachMadeBy(webrtc_, "dtlsenc", [](GstElement* encoder) {
        GstIterator* pads = gst_element_iterate_sink_pads(encoder);
        GValue pad = G_VALUE_INIT;
        while (gst_iterator_next(pads, &pad) == GST_ITERATOR_OK) {
            gst_pad_send_event(GST_PAD(g_value_get_object(&pad)), gst_event_new_eos());
            g_value_reset(&pad);
        }
        g_value_unset(&pad);
        gst_iterator_free(pads);
    });
}

void ViewerSession::connected() {
    // The transports joined the pipeline after it started: only now does every sink answer the
    // latency query, and the RTP session needs the latency to map media times to the clock
    // times of its sender reports, on which the viewer lip-syncs.
    gst_bin_recalculate_latency(GST_BIN(pipeline_));
}

std::chrono::steady_clock::time_point ViewerSession::lastHeard() const {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(link_->heard_ns));
}

void ViewerSession::disconnect() {
    for (std::size_t i = 0; i < std::size(handlers_); ++i) {
        if (handlers_[i] != 0) {
            GObject* object = i < 2   ? G_OBJECT(webrtc_)
                              : i < 4 ? G_OBJECT(rtpbin_)
                                      : G_OBJECT(transport_);
            g_signal_handler_disconnect(object, handlers_[i]);
            handlers_[i] = 0;
        }
    }
}

std::string ViewerSession::answerText() {
    // The transport exists once the answer is made: a viewer that closes its end (its own
    // close_notify) has left, whether or not it said so over HTTP.
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc_, "get-transceiver", 0, &transceiver);
    if (transceiver != nullptr && transport_ == nullptr) {
        GstWebRTCRTPSender* sender = nullptr;
        g_object_get(transceiver, "sender", &sender, nullptr);
        if (sender != nullptr) {
            g_object_get(sender, "transport", &transport_, nullptr);
            gst_object_unref(sender);
        }
        if (transport_ != nullptr) {
            handlers_[4] = g_signal_connect_data(
                transport_, "notify::state",
                G_CALLBACK(+[](GstWebRTCDTLSTransport* transport, GParamSpec*, gpointer data) {
                    GstWebRTCDTLSTransportState state;
                    g_object_get(transport, "state", &state, nullptr);
                    if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_CLOSED ||
                        state == GST_WEBRTC_DTLS_TRANSPORT_STATE_FAILED) {
                        Link::of(data).connected = false;  // nothing more to send or close
                        Link::of(data).events.connection(false);
                    }
                }),
                Link::hold(link_), Link::drop, GConnectFlags{});
        }
    }
    if (transceiver != nullptr) {
        gst_object_unref(transceiver);
    }
    GstWebRTCSessionDescription* description = nullptr;
    g_object_get(webrtc_, "local-description", &description, nullptr);
    if (description == nullptr) {
        return {};
    }
    gchar* text = gst_sdp_message_as_text(description->sdp);
    std::string answer = text;
    g_free(text);
    gst_webrtc_session_description_free(description);
    return answer;
}

void ViewerSession::pushVideo(const EncodedMedia& unit) {
    const std::int64_t pts = unit.time_ns - base_ns_;
    GstAppSrc* source = GST_APP_SRC(video_);
    if (!link_->connected || pts < 0 || !unit.data) {
        return;
    }
    if (gst_app_src_get_current_level_bytes(source) > kMaxQueuedVideoBytes) {
        keyed_ = false;
    }
    keyed_ = keyed_ || unit.keyFrame;
    if (!keyed_) {
        return;
    }
    GstBuffer* buffer = wrap(unit.data, unit.data->data(), unit.data->size());
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(pts);
    if (!unit.keyFrame) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    }
    gst_app_src_push_buffer(source, buffer);
}

void ViewerSession::pushOpus(GstSample* sample) {
    GstAppSrc* source = GST_APP_SRC(audio_);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!hasAudio_ || !link_->connected || buffer == nullptr ||
        gst_app_src_get_current_level_bytes(source) > kMaxQueuedAudioBytes) {
        return;
    }
    GstCaps* caps = gst_sample_get_caps(sample);
    if (caps != nullptr && (audioCaps_ == nullptr || !gst_caps_is_equal(caps, audioCaps_))) {
        gst_caps_replace(&audioCaps_, caps);
        gst_app_src_set_caps(source, caps);
    }
    gst_app_src_push_buffer(source, gst_buffer_ref(buffer));
}

}  // namespace skylark
