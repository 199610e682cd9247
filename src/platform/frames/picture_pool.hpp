#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/frames/picture.hpp"

namespace skylark::frames {

// A bounded set of same-sized YUV pictures that are drawn once and then shared read-only. A
// picture returns to the pool when its last reference goes, which may be after the pool's
// owner is gone: the pool is shared with every picture's deleter.
//
// Threads: acquire() from any thread; pictures may be released on any thread.
class YuvPicturePool : public std::enable_shared_from_this<YuvPicturePool> {
  public:
    static std::shared_ptr<YuvPicturePool> create(uint32_t width, uint32_t height, uint32_t limit) {
        return std::shared_ptr<YuvPicturePool>(new YuvPicturePool(width, height, limit));
    }

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

    // A picture to draw into, or null while `limit` pictures are out.
    std::shared_ptr<YuvPicture> acquire() {
        std::unique_ptr<YuvPicture> picture;
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                picture = std::move(free_.back());
                free_.pop_back();
            } else if (outstanding_ >= limit_) {
                return nullptr;
            }
            ++outstanding_;
        }
        if (!picture) {
            picture = std::make_unique<YuvPicture>(width_, height_);
        }
        std::weak_ptr<YuvPicturePool> self = weak_from_this();
        return {picture.release(), [self](YuvPicture* p) {
                    std::unique_ptr<YuvPicture> owned(p);
                    if (auto pool = self.lock()) {
                        std::lock_guard lock(pool->mutex_);
                        --pool->outstanding_;
                        pool->free_.push_back(std::move(owned));
                    }
                }};
    }

  private:
    YuvPicturePool(uint32_t width, uint32_t height, uint32_t limit)
        : width_(width), height_(height), limit_(limit) {}

    const uint32_t width_;
    const uint32_t height_;
    const uint32_t limit_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<YuvPicture>> free_;
    uint32_t outstanding_ = 0;
};

}  // namespace skylark::frames
