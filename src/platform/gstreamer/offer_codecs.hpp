#pragma once

#include <optional>
#include <string>
#include <variant>

#include "common/bytes.hpp"

namespace skylark {

// What a viewer's offer lets us send: the payload type of its H.264 in packetization mode 1
// and, when it takes Opus, Opus's payload type.
struct OfferCodecs {
    int videoPayload = 0;
    std::optional<int> audioPayload;
};

// Reads an SDP offer; a reason, in words for the viewer, when it is not one we can answer.
// Of several H.264 formats, the one of `profile` (the stream's profile-level-id, six hex
// digits) is chosen, else constrained baseline, else any baseline, else the first.
std::variant<OfferCodecs, std::string> offerCodecs(const std::string& sdp,
                                                   const std::string& profile);

// The profile-level-id of an access unit's sequence parameter set (the three bytes after its
// NAL header, as SDP writes them), or nothing when the unit carries none.
std::optional<std::string> streamProfile(const Bytes& unit);

}  // namespace skylark
