#pragma once

// What every delivered stream must satisfy, checked with GoogleTest expectations.

#include "writer_harness.hpp"

namespace skylark::test {

// The initialization segment holds one H.264 track of width x height and one 48 kHz stereo
// AAC track; every media segment starts with a key frame, decodes after the initialization
// segment alone, carries audio, and (when `regularSegments`, all but the last) lasts 0.2 to
// 0.3 s; both tracks start at 0 and run on across segments without gaps. Returns the number
// of video frames in all segments.
int expectPlayableStream(const SegmentCollector& out, int width, int height,
                         bool regularSegments = true);

}  // namespace skylark::test
