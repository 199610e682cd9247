#include "platform/ffmpeg/av_handles.hpp"

namespace skylark::ffmpeg {

FramePtr allocateFrame() {
    FramePtr frame(av_frame_alloc());
    if (!frame) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    return frame;
}

PacketPtr allocatePacket() {
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        throw EncoderFailure("The streaming encoder ran out of memory.");
    }
    return packet;
}

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

int check(int code, const std::string& what) {
    if (code < 0) {
        throw EncoderFailure(what + ": " + errorText(code) + ".");
    }
    return code;
}

}  // namespace skylark::ffmpeg
