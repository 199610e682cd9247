#include "http/progressive_segment.hpp"

#include "http/responses.hpp"

namespace skylark {
namespace {

using State = LiveHLSStore::Progress::State;
using Kind = ResponseStream::Step::Kind;

ResponseStream::Step stepOf(Kind kind) {
    ResponseStream::Step step;
    step.kind = kind;
    return step;
}

ResponseStream::Step respond(HTTPResponse response) {
    ResponseStream::Step step = stepOf(Kind::respond);
    step.response = std::move(response);
    return step;
}

// The segment being written before its first fragment, or the one after it: a reader that asks
// a moment early waits rather than fails.
bool comesSoon(const LiveHLSStore::Progress& progress, std::int64_t id) {
    return progress.active && (id == progress.writing || id == progress.writing + 1);
}

}  // namespace

ProgressiveSegment::ProgressiveSegment(const LiveHLSStore& store, std::int64_t id,
                                       std::chrono::milliseconds beginWait)
    : store_(store), id_(id), beginWait_(beginWait) {}

ResponseStream::Step ProgressiveSegment::next(Clock::time_point now) {
    LiveHLSStore::Progress progress = store_.progress(id_, partsSent_);
    if (!cast_) {
        switch (progress.state) {
            case State::complete:
                return respond(segmentResponse(progress.segment));
            case State::absent:
                if (!comesSoon(progress, id_)) {
                    return respond(notFound());
                }
                beginBy_ = beginBy_.value_or(now + beginWait_);
                if (now < *beginBy_) {
                    Step step = stepOf(Kind::wait);
                    step.until = *beginBy_;
                    return step;
                }
                return respond(notFound());
            case State::growing:
                cast_ = progress.cast;
                break;
        }
    }
    // Identifiers start again at every cast: the same number is another segment.
    if (progress.cast != *cast_) {
        return stepOf(Kind::abort);
    }
    Step step;
    if (progress.state == State::complete) {
        if (bytesSent_ > progress.segment->size()) {
            return stepOf(Kind::abort);
        }
        step.kind = Kind::finish;
        step.slices.push_back({progress.segment, bytesSent_});
        bytesSent_ = progress.segment->size();
        return step;
    }
    if (progress.state != State::growing) {
        return stepOf(Kind::abort);
    }
    step.kind = progress.parts.empty() ? Kind::wait : Kind::send;
    for (ByteBuffer& part : progress.parts) {
        ++partsSent_;
        bytesSent_ += part->size();
        step.slices.push_back({std::move(part), 0});
    }
    return step;
}

}  // namespace skylark
