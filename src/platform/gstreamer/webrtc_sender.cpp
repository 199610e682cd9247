#include "platform/gstreamer/webrtc_sender.hpp"

#include <gst/gst.h>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <future>
#include <stdexcept>
#include <utility>

#include "http/device_access.hpp"
#include "platform/gstreamer/capture_pipeline.hpp"
#include "platform/gstreamer/offer_codecs.hpp"
#include "platform/gstreamer/opus_encoder.hpp"
#include "platform/gstreamer/viewer_session.hpp"

namespace skylark {
namespace {

using Outcome = WebRTCViewers::Answer::Outcome;
using Clock = std::chrono::steady_clock;

constexpr const char* kErrorDomain = "org.skylark.gstreamer";

WebRTCViewers::Answer outcome(Outcome kind, std::string reason = {}) {
    WebRTCViewers::Answer answer;
    answer.outcome = kind;
    answer.reason = std::move(reason);
    return answer;
}

}  // namespace

void WebRTCSender::stop(std::vector<std::shared_ptr<ViewerSession>> pipelines) {
    pipelines.erase(std::remove(pipelines.begin(), pipelines.end(), nullptr), pipelines.end());
    for (const auto& pipeline : pipelines) {
        pipeline->sayGoodbye();
    }
    if (!pipelines.empty()) {
        // Long enough for the alerts to leave; the pipelines then stop with nothing in flight.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void WebRTCSender::Mailbox::post(Task task) {
    {
        std::lock_guard guard(lock);
        tasks.push_back(std::move(task));
    }
    wake.notify_one();
}

std::variant<std::shared_ptr<WebRTCSender>, Error> WebRTCSender::create(
    std::chrono::milliseconds connectWait) {
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        const std::string message = error != nullptr ? error->message : "unknown reason";
        g_clear_error(&error);
        return Error{kErrorDomain, 1, "GStreamer could not start: " + message};
    }
    // nicesrc stands for libnice's plugin, which webrtcbin needs for its candidates.
    for (const char* element : {"appsrc", "h264parse", "rtph264pay", "audioconvert",
                                "audioresample", "opusenc", "rtpopuspay", "webrtcbin", "nicesrc"}) {
        if (GstElementFactory* factory = gst_element_factory_find(element)) {
            gst_object_unref(factory);
        } else {
            return Error{kErrorDomain, 2,
                         std::string("WebRTC viewers cannot be served: GStreamer's \"") + element +
                             "\" element is not installed."};
        }
    }
    return std::make_shared<WebRTCSender>(connectWait);
}

WebRTCSender::WebRTCSender(std::chrono::milliseconds connectWait) : connectWait_(connectWait) {
    thread_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "skylark-webrtc");
        run();
    });
}

WebRTCSender::~WebRTCSender() {
    std::unique_lock held(lock_);
    live_ = false;
    endAll(held);
    {
        std::lock_guard guard(mailbox_->lock);
        mailbox_->stopping = true;
    }
    mailbox_->wake.notify_one();
    thread_.join();
}

void WebRTCSender::run() {
    for (;;) {
        std::deque<Task> tasks;
        bool stopping = false;
        {
            std::unique_lock held(mailbox_->lock);
            mailbox_->wake.wait_for(held, std::chrono::milliseconds(500),
                                    [&] { return !mailbox_->tasks.empty() || mailbox_->stopping; });
            tasks.swap(mailbox_->tasks);
            stopping = mailbox_->stopping;
        }
        for (Task& task : tasks) {
            task(*this);
        }
        tasks.clear();  // pipelines held by the tasks stop here, on this thread
        if (stopping) {
            std::lock_guard guard(mailbox_->lock);
            if (mailbox_->tasks.empty()) {
                return;
            }
            continue;
        }
        expire();
    }
}

std::uint64_t WebRTCSender::castStarted() {
    std::unique_lock held(lock_);
    const std::uint64_t cast = ++cast_;
    live_ = true;
    // Media of the last second before the cast's first session may still be on its way.
    base_ns_ = captureClockNow_ns() - 1'000'000'000;
    endAll(held);
    return cast;
}

void WebRTCSender::castEnded(std::uint64_t cast) {
    std::unique_lock held(lock_);
    if (cast == cast_ && live_) {
        live_ = false;
        endAll(held);
    }
}

void WebRTCSender::finish() {
    std::unique_lock held(lock_);
    live_ = false;
    endAll(held);
    std::promise<void> told;
    mailbox_->post([&told](WebRTCSender&) { told.set_value(); });
    told.get_future().wait();
}

void WebRTCSender::endAll(std::unique_lock<std::mutex>& held) {
    auto sessions = std::exchange(sessions_, {});
    held.unlock();
    std::vector<std::shared_ptr<ViewerSession>> pipelines;
    for (auto& [id, session] : sessions) {
        if (session.done) {
            session.done(outcome(Outcome::notLive));
        }
        pipelines.push_back(std::move(session.pipeline));
    }
    mailbox_->post([pipelines = std::move(pipelines)](WebRTCSender& self) {
        stop(pipelines);
        self.dropEncoderIfIdle();
    });
}

std::size_t WebRTCSender::sessionCount() const {
    std::lock_guard guard(lock_);
    return sessions_.size();
}

void WebRTCSender::open(std::string offer, AnswerHandler done) {
    std::unique_lock held(lock_);
    if (!live_) {
        held.unlock();
        done(outcome(Outcome::notLive));
        return;
    }
    if (sessions_.size() >= kMaxViewers) {
        held.unlock();
        done(outcome(Outcome::full));
        return;
    }
    auto codecs = offerCodecs(offer, profile_);
    if (auto* reason = std::get_if<std::string>(&codecs)) {
        held.unlock();
        done(outcome(Outcome::badOffer, *reason));
        return;
    }
    std::string id = hexKey(systemRandomBytes(16));
    sessions_[id] = Session{nullptr, std::move(done), Clock::now() + connectWait_};
    mailbox_->post([id, offer = std::move(offer),
                    codecs = std::get<OfferCodecs>(std::move(codecs))](WebRTCSender& self) {
        self.build(id, offer, codecs);
    });
}

bool WebRTCSender::close(std::string_view id) {
    std::unique_lock held(lock_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return false;
    }
    Session session = std::move(found->second);
    sessions_.erase(found);
    held.unlock();
    if (session.done) {
        session.done(outcome(Outcome::notLive));
    }
    mailbox_->post([pipeline = std::move(session.pipeline)](WebRTCSender& self) {
        stop({pipeline});
        self.dropEncoderIfIdle();
    });
    return true;
}

void WebRTCSender::build(const std::string& id, const std::string& offer,
                         const OfferCodecs& codecs) {
    const std::shared_ptr<Mailbox> mailbox = mailbox_;
    ViewerSession::Events events{
        .gathered = [mailbox, id] { mailbox->post([id](WebRTCSender& s) { s.answer(id); }); },
        .refused =
            [mailbox, id](std::string reason) {
                mailbox->post([id, reason](WebRTCSender& s) { s.refuse(id, reason); });
            },
        .connection =
            [mailbox, id](bool connected) {
                mailbox->post([id, connected](WebRTCSender& s) { s.connection(id, connected); });
            },
    };
    std::int64_t base_ns = 0;
    {
        std::lock_guard guard(lock_);
        if (!sessions_.contains(id)) {
            return;
        }
        base_ns = base_ns_;
    }
    encodeSoundIfNeeded();
    std::shared_ptr<ViewerSession> pipeline;
    try {
        pipeline = std::make_shared<ViewerSession>(offer, codecs, base_ns, std::move(events));
    } catch (const std::exception& failure) {
        refuse(id, failure.what());
        return;
    }
    std::lock_guard guard(lock_);
    if (const auto found = sessions_.find(id); found != sessions_.end()) {
        found->second.pipeline = std::move(pipeline);
    }
    // Otherwise the session ended meanwhile and the pipeline stops here, on this thread.
}

void WebRTCSender::answer(const std::string& id) {
    std::unique_lock held(lock_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end() || !found->second.done || !found->second.pipeline) {
        return;
    }
    const std::shared_ptr<ViewerSession> pipeline = found->second.pipeline;
    AnswerHandler done = std::move(found->second.done);
    held.unlock();
    Answer answer;
    answer.sdp = pipeline->answerText();
    if (answer.sdp.empty()) {
        done(outcome(Outcome::badOffer, "No answer could be made to the offer."));
        end(id);
        return;
    }
    answer.outcome = Outcome::answered;
    answer.id = id;
    done(std::move(answer));
}

void WebRTCSender::refuse(const std::string& id, const std::string& reason) {
    std::unique_lock held(lock_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    AnswerHandler done = std::move(found->second.done);
    held.unlock();
    if (done) {
        done(outcome(Outcome::badOffer, reason));
    }
    end(id);
}

void WebRTCSender::connection(const std::string& id, bool connected) {
    if (!connected) {
        end(id);
        return;
    }
    std::unique_lock held(lock_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end() || !found->second.pipeline) {
        return;
    }
    found->second.connected = true;
    const std::shared_ptr<ViewerSession> pipeline = found->second.pipeline;
    held.unlock();
    pipeline->connected();
}

void WebRTCSender::end(const std::string& id) {
    std::unique_lock held(lock_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    Session session = std::move(found->second);
    sessions_.erase(found);
    held.unlock();
    if (session.done) {
        session.done(outcome(Outcome::notLive));
    }
    stop({std::move(session.pipeline)});  // on this thread: end() runs only here
    dropEncoderIfIdle();
}

void WebRTCSender::expire() {
    std::vector<std::string> late;
    {
        std::lock_guard guard(lock_);
        for (const auto& [id, session] : sessions_) {
            const bool silent = session.connected && session.pipeline &&
                                Clock::now() - session.pipeline->lastHeard() > kSilenceLimit;
            if (silent || (!session.connected && Clock::now() > session.giveUpAt)) {
                late.push_back(id);
            }
        }
    }
    for (const std::string& id : late) {
        end(id);
    }
}

}  // namespace skylark
