#include "common/serial_queue.hpp"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace skylark {

// Shared by the queue object and its thread, so that a thread detached by a destructor running
// on it can still finish its work safely.
struct SerialQueue::State {
    std::string label;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::function<void()>> items;
    bool closing = false;
    std::thread thread;
    std::thread::id threadId;

    void run() {
        // Thread names hold 15 characters: keep the end of a reverse-DNS label, which tells the
        // queues apart ("org.skylark.Skylark.capture.video" becomes "k.capture.video").
        const std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
        pthread_setname_np(pthread_self(), name.c_str());
        std::unique_lock guard(lock);
        for (;;) {
            wake.wait(guard, [&] { return closing || !items.empty(); });
            if (items.empty()) {
                return;  // closing, and everything queued has run
            }
            std::function<void()> work = std::move(items.front());
            items.pop_front();
            guard.unlock();
            work();
            work = nullptr;  // destroy what the work captured before taking the lock again
            guard.lock();
        }
    }
};

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    state_->thread = std::thread([state = state_] { state->run(); });
    state_->threadId = state_->thread.get_id();
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard guard(state_->lock);
        state_->closing = true;
    }
    state_->wake.notify_all();
    if (isCurrent()) {
        state_->thread.detach();
    } else {
        state_->thread.join();
    }
}

const std::string& SerialQueue::label() const {
    return state_->label;
}

void SerialQueue::post(std::function<void()> work) {
    {
        std::lock_guard guard(state_->lock);
        if (!state_->closing) {
            state_->items.push_back(std::move(work));
            work = nullptr;
        }
    }
    // A dropped item is destroyed here, outside the lock.
    state_->wake.notify_one();
}

void SerialQueue::flush() {
    if (isCurrent()) {
        return;
    }
    std::mutex doneLock;
    std::condition_variable doneWake;
    bool done = false;
    {
        std::lock_guard guard(state_->lock);
        if (state_->closing) {
            return;
        }
        state_->items.push_back([&] {
            std::lock_guard doneGuard(doneLock);
            done = true;
            doneWake.notify_all();
        });
    }
    state_->wake.notify_one();
    std::unique_lock doneGuard(doneLock);
    doneWake.wait(doneGuard, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == state_->threadId;
}

}  // namespace skylark
