#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace skylark {

// An error value in the shape platform errors have: a domain, a code and
// user information, from which the localized description (the one line the user sees) and the
// full description (what the caster's trace writes) are rendered. A plain value: copy it freely.
//
// Platform implementations create errors that say what failed in words a user can act on, e.g.
//   Error::withDescription("org.skylark.x11", 3, "The X display :0 could not be opened.")
struct Error {
    // The user-information key of the localized description (printed in full descriptions).
    static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
    // The caster's own error domain (domain "Skylark", code 2: the encoder could not be prepared).
    static constexpr const char* kSkylarkDomain = "Skylark";

    std::string domain;
    std::int64_t code = 0;
    // Text keys to text values, rendered in key order.
    std::map<std::string, std::string> userInfo;

    static Error withDescription(std::string domain, std::int64_t code, std::string description);

    // The user-information entry under kLocalizedDescriptionKey; without one, the platform's
    // fallback "The operation couldn’t be completed. (<domain> error <code>.)".
    std::string localizedDescription() const;

    // The full textual rendering, in the shape scripts reading the trace expect:
    //   Error Domain=Skylark Code=2 "Could not prepare the streaming encoder."
    //   UserInfo={NSLocalizedDescription=Could not prepare the streaming encoder.}
    // (on one line; entries separated by ", " in key order; without user information the
    // " UserInfo={...}" part is left out).
    std::string fullDescription() const;

    friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace skylark
