#pragma once

#include <cstdint>
#include <string>

namespace skylark {

// What went wrong, as a plain value: the domain of the component that failed, its code within
// that domain, and one line a user can act on. Copy it freely.
//
// Platform implementations say what failed in those words, e.g.
//   Error{"org.skylark.x11", 3, "The X display :0 could not be opened."}
struct Error {
    // The caster's own error domain (domain "Skylark", code 2: the encoder could not be prepared).
    static constexpr const char* kSkylarkDomain = "Skylark";

    std::string domain;
    std::int64_t code = 0;
    std::string message;  // empty: localizedDescription() falls back to domain and code

    // The line the user sees: the message, or without one
    // "The operation couldn’t be completed. (<domain> error <code>.)".
    std::string localizedDescription() const;

    // The whole error as the caster's trace prints it, on one line (a fixed text that scripts
    // reading the trace parse):
    //   Error Domain=Skylark Code=2 "Could not prepare the streaming encoder."
    //   UserInfo={NSLocalizedDescription=Could not prepare the streaming encoder.}
    // Without a message the " UserInfo={...}" part is left out.
    std::string fullDescription() const;

    friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace skylark
