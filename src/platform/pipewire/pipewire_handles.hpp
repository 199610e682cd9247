#pragma once

// Owning handles for the PipeWire objects of one thread-loop connection.
#include <pipewire/pipewire.h>

#include <mutex>

namespace skylark::pipewire {

inline void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct LoopDeleter {
    void operator()(pw_thread_loop* l) const { pw_thread_loop_destroy(l); }
};
struct ContextDeleter {
    void operator()(pw_context* c) const { pw_context_destroy(c); }
};
struct CoreDeleter {
    void operator()(pw_core* c) const { pw_core_disconnect(c); }
};
struct StreamDeleter {
    void operator()(pw_stream* s) const { pw_stream_destroy(s); }
};
struct RegistryDeleter {
    void operator()(pw_registry* r) const { pw_proxy_destroy(reinterpret_cast<pw_proxy*>(r)); }
};

// Holds the loop lock for a scope: PipeWire objects of a thread loop are touched only under it.
class LoopLock {
  public:
    explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~LoopLock() { pw_thread_loop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pw_thread_loop* loop_;
};

}  // namespace skylark::pipewire
