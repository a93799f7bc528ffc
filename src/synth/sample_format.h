// The sound every front end makes, and the numbers that describe it: 44100
// frames a second, two channels of signed 16-bit samples, a frame of 4 bytes
// (left in the low half, right in the high half). The WAVE file that holds it
// is described by synth/wave_head.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarvel {

inline constexpr int kFrameRate = 44100;
inline constexpr int kChannels = 2;
inline constexpr int kBitsPerSample = 16;
inline constexpr std::size_t kBytesPerFrame = kChannels * kBitsPerSample / 8;
inline constexpr std::uint32_t kBytesPerSecond = kFrameRate * kBytesPerFrame;

}  // namespace quarvel
