#include "http/device_access.hpp"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace skylark {
namespace {

constexpr std::size_t kKeyBytes = 16;
constexpr std::size_t kMaxDeniedKeys = 64;

}  // namespace

std::string systemRandomBytes(std::size_t n) {
    std::string bytes(n, '\0');
    std::size_t filled = 0;
    while (filled < n) {
        const ssize_t got = ::getrandom(bytes.data() + filled, n - filled, 0);
        if (got < 0) {
            // Without randomness a key could be guessed: refuse rather than weaken it.
            throw std::runtime_error("no random source");
        }
        filled += static_cast<std::size_t>(got);
    }
    return bytes;
}

bool isLoopbackAddress(std::string_view address) {
    const std::string text(address);
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        return bytes[0] == 127;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) != 1) {
        return false;
    }
    const bool mapped = std::all_of(bytes, bytes + 10, [](unsigned char b) { return b == 0; }) &&
                        bytes[10] == 0xff && bytes[11] == 0xff;
    if (mapped) {
        return bytes[12] == 127;
    }
    return std::all_of(bytes, bytes + 15, [](unsigned char b) { return b == 0; }) && bytes[15] == 1;
}

std::string hexKey(std::string_view bytes) {
    std::string text;
    for (unsigned char b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

DeviceAccess::DeviceAccess() : DeviceAccess(Options{}) {}

DeviceAccess::DeviceAccess(Options options) : options_(std::move(options)) {
    if (!options_.randomBytes) {
        options_.randomBytes = systemRandomBytes;
    }
}

bool DeviceAccess::lets(std::string_view key) const {
    return !options_.saved.asks ||
           (!key.empty() && std::ranges::any_of(options_.saved.allowed,
                                                [&](const Device& d) { return d.key == key; }));
}

std::vector<DeviceAccess::Request>::iterator DeviceAccess::findWaiting(std::string_view key) {
    return std::ranges::find_if(waiting_, [&](const Request& r) { return r.key == key; });
}

DeviceAccess::Clock::time_point DeviceAccess::now() const {
    return options_.now ? options_.now() : Clock::now();
}

std::string DeviceAccess::newKey() {
    return hexKey(options_.randomBytes(kKeyBytes));
}

std::string DeviceAccess::newCode() {
    const std::string bytes = options_.randomBytes(2);
    const unsigned value =
        (static_cast<unsigned char>(bytes[0]) << 8) | static_cast<unsigned char>(bytes[1]);
    char code[8];
    std::snprintf(code, sizeof code, "%04u", value % 10000);
    return code;
}

bool DeviceAccess::admits(std::string_view key, std::string_view address) const {
    if (isLoopbackAddress(address)) {
        return true;
    }
    std::lock_guard lock(mutex_);
    return lets(key);
}

DeviceAccess::Answer DeviceAccess::ask(std::string_view key, std::string_view address) {
    using State = Answer::State;
    if (isLoopbackAddress(address)) {
        return {State::allowed, {}, {}};
    }
    Answer answer;
    {
        std::lock_guard lock(mutex_);
        const std::string k(key);
        if (lets(k)) {
            return {State::allowed, {}, {}};
        }
        if (const auto it = findWaiting(k); !k.empty() && it != waiting_.end()) {
            return {State::waiting, it->code, {}};
        }
        const auto denied = deniedAddresses_.find(std::string(address));
        const bool coolingDown = denied != deniedAddresses_.end() && now() < denied->second;
        if (coolingDown || (!k.empty() && std::find(deniedKeys_.begin(), deniedKeys_.end(), k) !=
                                              deniedKeys_.end())) {
            return {State::denied, {}, {}};
        }
        if (waiting_.size() >= kMaxWaiting) {
            waiting_.erase(waiting_.begin());
        }
        waiting_.push_back({newKey(), std::string(address), newCode()});
        answer = {State::waiting, waiting_.back().code, waiting_.back().key};
    }
    changed(false);
    return answer;
}

void DeviceAccess::allow(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        const auto it = findWaiting(key);
        if (it == waiting_.end()) {
            return;
        }
        options_.saved.allowed.push_back({key, it->address});
        waiting_.erase(it);
    }
    changed(true);
}

void DeviceAccess::deny(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        const auto it = findWaiting(key);
        if (it == waiting_.end()) {
            return;
        }
        const Clock::time_point t = now();
        std::erase_if(deniedAddresses_, [&](const auto& entry) { return entry.second <= t; });
        deniedAddresses_[it->address] = t + kDeniedCooldown;
        deniedKeys_.push_back(key);
        if (deniedKeys_.size() > kMaxDeniedKeys) {
            deniedKeys_.erase(deniedKeys_.begin());
        }
        waiting_.erase(it);
    }
    changed(false);
}

std::string DeviceAccess::addDevice(const std::string& name) {
    std::string key;
    {
        std::lock_guard lock(mutex_);
        key = newKey();
        options_.saved.allowed.push_back({key, name});
    }
    changed(true);
    return key;
}

void DeviceAccess::forget(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (std::erase_if(options_.saved.allowed, [&](const Device& d) { return d.key == key; }) ==
            0) {
            return;
        }
    }
    changed(true);
}

void DeviceAccess::setAsks(bool asks) {
    {
        std::lock_guard lock(mutex_);
        if (options_.saved.asks == asks) {
            return;
        }
        options_.saved.asks = asks;
        if (!asks) {
            waiting_.clear();  // they are in now, without a prompt
        }
    }
    changed(true);
}

DeviceAccess::Saved DeviceAccess::saved() const {
    std::lock_guard lock(mutex_);
    return options_.saved;
}

std::vector<DeviceAccess::Request> DeviceAccess::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

void DeviceAccess::setListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void DeviceAccess::changed(bool keep) {
    Saved saved;
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        saved = options_.saved;
        listener = listener_;
    }
    if (keep && options_.save) {
        options_.save(saved);
    }
    if (listener) {
        listener();
    }
}

}  // namespace skylark
