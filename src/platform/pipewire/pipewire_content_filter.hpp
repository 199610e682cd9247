#pragma once

#include <cstdint>

#include "caster/capture_platform.hpp"

namespace skylark {

// Content that a PipeWire video node shows: what a screen-cast portal hands out after the user
// chose a display or a window. The PipeWire capture stream takes only filters of this kind.
//
// Threads: every call from any thread. The filter stays immutable apart from release().
class PipeWireContentFilter : public ContentFilter {
  public:
    // A new file descriptor of the PipeWire connection on which the node is visible; the caller
    // owns it. -1 means the session's default PipeWire daemon.
    virtual int openRemote() const = 0;
    // The node that carries the chosen content's frames.
    virtual std::uint32_t nodeId() const = 0;
    // Gives up the grant behind the node (the portal's screen-cast session), which makes the
    // desktop end the cast. Harmless when already released or ended.
    virtual void release() const = 0;
};

}  // namespace skylark
