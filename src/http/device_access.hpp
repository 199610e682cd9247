#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace skylark {

// Which devices may watch: the ones the person allowed on this computer, each holding a key it
// was given (a random token: its address alone proves nothing, since another device can take
// that address), and this computer itself (loopback). A device without a valid key asks; the
// request waits for the person's Allow or Deny, with a short code that the TV page shows too.
//
// Every call may come from any thread (the server's, the main thread): one mutex for the whole
// of each operation, and the two callbacks run after it is released, on the caller's thread.
class DeviceAccess {
  public:
    using Clock = std::chrono::steady_clock;

    struct Device {
        std::string key;
        std::string name;  // the address it asked from, or what the person called it
    };
    struct Request {
        std::string key;
        std::string address;
        std::string code;  // four digits, shown on the TV and in the prompt
    };
    // What is saved across launches.
    struct Saved {
        bool asks = true;  // false: every device is let in without asking
        std::vector<Device> allowed = {};
    };
    // The answer to a device that asks. `key` is set only when a key was issued now.
    struct Answer {
        enum class State { allowed, waiting, denied } state = State::waiting;
        std::string code;
        std::string key;
    };

    // At most this many requests wait at once (the oldest gives way), and a device whose request
    // was denied cannot ask again for `kDeniedCooldown`, so no device can flood the desktop.
    static constexpr std::size_t kMaxWaiting = 8;
    static constexpr std::chrono::seconds kDeniedCooldown{60};

    struct Options {
        Saved saved = {};
        // Writes what is to be kept; called after every change of it. Empty: nothing is kept.
        std::function<void(const Saved&)> save = nullptr;
        // `n` random bytes; empty: the system's random source.
        std::function<std::string(std::size_t n)> randomBytes = nullptr;
        std::function<Clock::time_point()> now = nullptr;  // empty: the steady clock
    };

    DeviceAccess();
    explicit DeviceAccess(Options options);

    // Whether a device presenting `key` (empty for none) from `address` may have media.
    bool admits(std::string_view key, std::string_view address) const;
    // A device asks to watch: an allowed or loopback one is answered allowed; one with a waiting
    // or denied request hears so; any other gets a new key and a new request, which is reported
    // to the listener.
    Answer ask(std::string_view key, std::string_view address);

    // The person's answers; a key no longer waiting is ignored.
    void allow(const std::string& key);
    void deny(const std::string& key);
    // A device that cannot ask (a media player): allowed at once under `name`; returns its key.
    std::string addDevice(const std::string& name);
    void forget(const std::string& key);
    void setAsks(bool asks);

    Saved saved() const;
    std::vector<Request> waiting() const;
    // Called after the waiting requests or the allowed devices changed.
    void setListener(std::function<void()> listener);

  private:
    Clock::time_point now() const;
    std::string newKey();
    std::string newCode();
    void changed(bool keep);
    // Under the lock: whether `key` is let in (asking off, or an allowed device's key), and the
    // waiting request of `key`.
    bool lets(std::string_view key) const;
    std::vector<Request>::iterator findWaiting(std::string_view key);

    Options options_;  // its `saved` is the one list of allowed devices, in the order allowed
    mutable std::mutex mutex_;
    std::vector<Request> waiting_;         // oldest first
    std::vector<std::string> deniedKeys_;  // newest last, bounded
    std::map<std::string, Clock::time_point> deniedAddresses_;
    std::function<void()> listener_;
};

// Whether `address` (as text, IPv4 or IPv6, a mapped IPv4 too) is this computer's loopback.
bool isLoopbackAddress(std::string_view address);

// A printable random token of `bytes` random bytes, as lowercase hex.
std::string hexKey(std::string_view bytes);

// `n` bytes from the kernel's random source; throws when it gives none, so that no guessable
// token is ever made.
std::string systemRandomBytes(std::size_t n);

}  // namespace skylark
