// Where rendered frames go: the protocol between the loop that renders and
// whatever plays, writes or counts the frames.
#pragma once

#include <cstdint>

namespace quarvel {

// Frames in a buffer the loop fills and hands over.
inline constexpr int kBufferFrames = 4096;

// The loop calls exchangeBuffer(nullptr, 0) once to open, then
// exchangeBuffer(buffer, frames) with every filled buffer (the last one
// partial, possibly empty), and finally exchangeBuffer(buffer, -1) to close,
// unless a hand-over answered nullptr: the user stopped, and the sink is
// already shut.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual std::uint32_t* exchangeBuffer(std::uint32_t* buffer, int frames) = 0;
};

}  // namespace quarvel
