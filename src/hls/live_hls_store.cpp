#include "hls/live_hls_store.hpp"

#include <string>

namespace skylark {

void LiveHLSStore::reset() {
    {
        std::lock_guard guard(lock_);
        initialization_.reset();
        segments_.clear();
        parts_.clear();
        nextID_ = 0;
        ++cast_;
        active_ = true;
    }
    changed();
}

void LiveHLSStore::stop() {
    {
        std::lock_guard guard(lock_);
        active_ = false;
    }
    changed();
}

void LiveHLSStore::addInitialization(ByteBuffer data) {
    std::lock_guard guard(lock_);
    initialization_ = std::move(data);
}

void LiveHLSStore::addSegment(ByteBuffer data) {
    {
        std::lock_guard guard(lock_);
        segments_.push_back({nextID_, std::move(data)});
        ++nextID_;
        parts_.clear();
        while (segments_.size() > kWindowSize) {
            segments_.pop_front();
        }
    }
    changed();
}

void LiveHLSStore::addPart(ByteBuffer data) {
    {
        std::lock_guard guard(lock_);
        parts_.push_back(std::move(data));
    }
    changed();
}

void LiveHLSStore::setListener(std::function<void()> listener) {
    std::lock_guard calls(listening_);
    std::lock_guard guard(lock_);
    listener_ =
        listener ? std::make_shared<const std::function<void()>>(std::move(listener)) : nullptr;
}

void LiveHLSStore::changed() {
    std::lock_guard calls(listening_);
    std::shared_ptr<const std::function<void()>> listener;
    {
        std::lock_guard guard(lock_);
        listener = listener_;
    }
    if (listener) {
        (*listener)();
    }
}

bool LiveHLSStore::isLive() const {
    std::lock_guard guard(lock_);
    return active_ && initialization_ && !segments_.empty();
}

ByteBuffer LiveHLSStore::initData() const {
    std::lock_guard guard(lock_);
    return initialization_;
}

ByteBuffer LiveHLSStore::segment(std::int64_t id) const {
    std::lock_guard guard(lock_);
    for (const Entry& entry : segments_) {
        if (entry.id == id) {
            return entry.data;
        }
    }
    return nullptr;
}

LiveHLSStore::Progress LiveHLSStore::progress(std::int64_t id, std::size_t from) const {
    std::lock_guard guard(lock_);
    Progress progress;
    progress.cast = cast_;
    for (const Entry& entry : segments_) {
        if (entry.id == id) {
            progress.state = Progress::State::complete;
            progress.segment = entry.data;
            return progress;
        }
    }
    progress.active = active_;
    progress.writing = nextID_;
    if (active_ && id == nextID_ && !parts_.empty()) {
        progress.state = Progress::State::growing;
        if (from < parts_.size()) {
            progress.parts.assign(parts_.begin() + static_cast<std::ptrdiff_t>(from), parts_.end());
        }
    }
    return progress;
}

ByteBuffer LiveHLSStore::playlist() const {
    std::string text;
    {
        std::lock_guard guard(lock_);
        if (!initialization_ || segments_.empty()) {
            return nullptr;
        }
        text.reserve(150 + segments_.size() * 32);
        text += "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:";
        text += std::to_string(segments_.front().id);
        text += "\n#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"init.mp4\"\n";
        for (const Entry& entry : segments_) {
            text += "#EXTINF:0.250,\nsegment";
            text += std::to_string(entry.id);
            text += ".m4s\n";
        }
    }
    return makeBuffer(text);
}

}  // namespace skylark
