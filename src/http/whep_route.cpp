#include "http/whep_route.hpp"

#include <algorithm>
#include <mutex>
#include <optional>

#include "http/request_framing.hpp"
#include "http/responses.hpp"

namespace skylark {
namespace {

using Outcome = WebRTCViewers::Answer::Outcome;

// Where the viewers' answer lands; shared by the handler (any thread) and the stream.
struct PendingAnswer {
    std::mutex lock;
    std::optional<WebRTCViewers::Answer> answer;
};

HTTPResponse answerResponse(const WebRTCViewers::Answer& answer) {
    switch (answer.outcome) {
        case Outcome::answered: {
            HTTPResponse response;
            response.status = "201 Created";
            response.contentType = "application/sdp";
            response.location = std::string(kWhepPath) + "/" + answer.id;
            response.body = makeBuffer(answer.sdp);
            return response;
        }
        case Outcome::notLive:
            return plainResponse("503 Service Unavailable", "No cast is live.");
        case Outcome::full:
            return plainResponse("503 Service Unavailable",
                                 "Every WebRTC place is taken; this TV plays the HLS stream.");
        case Outcome::badOffer:
            break;
    }
    return plainResponse("400 Bad Request", answer.reason);
}

// The answer is made on the viewers' threads: the response waits for it without holding the
// server thread, as a progressive segment waits for its first fragment.
class AnswerStream final : public ResponseStream {
  public:
    AnswerStream(std::shared_ptr<PendingAnswer> pending, Clock::time_point giveUpAt)
        : pending_(std::move(pending)), giveUpAt_(giveUpAt) {}

    Step next(Clock::time_point now) override {
        Step step;
        std::lock_guard guard(pending_->lock);
        if (pending_->answer) {
            step.kind = Step::Kind::respond;
            step.response = answerResponse(*pending_->answer);
        } else if (now >= giveUpAt_) {
            step.kind = Step::Kind::respond;
            step.response = plainResponse("503 Service Unavailable",
                                          "The WebRTC session could not be set up in time.");
        } else {
            step.until = giveUpAt_;
        }
        return step;
    }

  private:
    const std::shared_ptr<PendingAnswer> pending_;
    const Clock::time_point giveUpAt_;
};

bool isSDPType(std::string_view header) {
    const std::vector<std::string_view> types = headerValues(header, "content-type");
    if (types.size() != 1) {
        return false;
    }
    std::string type(types.front().substr(0, types.front().find(';')));
    while (!type.empty() && type.back() == ' ') {
        type.pop_back();
    }
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type == "application/sdp";
}

HTTPResponse post(const HTTPRequest& request, const WhepContext& context) {
    if (!isSDPType(request.header)) {
        return plainResponse("415 Unsupported Media Type", "The offer must be application/sdp.");
    }
    if (context.viewers == nullptr) {
        return answerResponse({});  // this server sends no WebRTC: as if no cast were live
    }
    auto pending = std::make_shared<PendingAnswer>();
    context.viewers->open(std::string(request.body->begin(), request.body->end()),
                          [pending, wake = context.wake](WebRTCViewers::Answer answer) {
                              {
                                  std::lock_guard guard(pending->lock);
                                  pending->answer = std::move(answer);
                              }
                              if (wake) {
                                  wake();
                              }
                          });
    HTTPResponse response;
    response.stream = std::make_shared<AnswerStream>(
        std::move(pending), ResponseStream::Clock::now() + context.answerWait);
    return response;
}

}  // namespace

std::optional<HTTPResponse> whepRoute(const HTTPRequest& request, const WhepContext& context) {
    const std::string& path = request.path;
    if (request.method == "POST" && path == kWhepPath) {
        return post(request, context);
    }
    const std::string prefix = std::string(kWhepPath) + "/";
    if (request.method == "DELETE" && path.starts_with(prefix)) {
        const std::string_view id = std::string_view(path).substr(prefix.size());
        if (context.viewers == nullptr || !context.viewers->close(id)) {
            return notFound();
        }
        HTTPResponse response;
        response.status = "204 No Content";
        response.contentType = "text/plain";
        return response;
    }
    return std::nullopt;
}

}  // namespace skylark
