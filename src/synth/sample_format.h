// The sound every front end makes, and the numbers that describe it: 44100
// frames a second, two channels of signed 16-bit samples, a frame of 4 bytes
// (left in the low half, right in the high half), and the WAVE file that holds
// it: a 46-byte head (an 18-byte "fmt " chunk) before the samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarvel {

inline constexpr int kFrameRate = 44100;
inline constexpr int kChannels = 2;
inline constexpr int kBitsPerSample = 16;
inline constexpr std::size_t kBytesPerFrame = kChannels * kBitsPerSample / 8;
inline constexpr std::uint32_t kBytesPerSecond = kFrameRate * kBytesPerFrame;

// The WAVE head: "RIFF", its size, "WAVE", the 18-byte "fmt " chunk, then
// "data" and its size.
inline constexpr std::uint32_t kWaveFormatChunkBytes = 18;
inline constexpr std::size_t kWaveHeadBytes = 46;
// The RIFF size field counts everything after itself: the head less 8 bytes,
// then the samples.
inline constexpr std::size_t kRiffSizeBeforeData = kWaveHeadBytes - 8;

}  // namespace quarvel
