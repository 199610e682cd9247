#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace skylark {

using Bytes = std::vector<std::uint8_t>;

// An immutable byte buffer shared by reference: once stored it is never modified, so readers on
// other threads may keep and send it without copying. A null pointer means "absent"; a pointer
// to an empty vector is a present, empty buffer, and the two are never confused.
using ByteBuffer = std::shared_ptr<const Bytes>;

inline ByteBuffer makeBuffer(Bytes bytes) {
    return std::make_shared<const Bytes>(std::move(bytes));
}

inline ByteBuffer makeBuffer(std::string_view text) {
    return std::make_shared<const Bytes>(text.begin(), text.end());
}

inline ByteBuffer makeBuffer(std::span<const std::uint8_t> bytes) {
    return std::make_shared<const Bytes>(bytes.begin(), bytes.end());
}

inline std::string_view asText(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace skylark
