// The head of the WAVE file that holds a rendering: "RIFF", its size, "WAVE",
// an 18-byte "fmt " chunk describing the sample format, then "data" and its
// size: 46 bytes before the samples. Written by -w, by --export NAME.wav and
// by the playground's download, all from here; plain computation, so the
// WebAssembly build compiles it with the rest of the core.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "synth/sample_format.h"

namespace quarvel {

inline constexpr std::uint32_t kWaveFormatChunkBytes = 18;
inline constexpr std::size_t kWaveHeadBytes = 46;
// The RIFF size field counts everything after itself: the head less 8 bytes,
// then the samples.
inline constexpr std::size_t kRiffSizeBeforeData = kWaveHeadBytes - 8;
// The most sample bytes the 32-bit RIFF size can describe (4 GiB less the head).
inline constexpr std::uint64_t kMaxWaveDataBytes = 0xFFFFFFFFull - kRiffSizeBeforeData;

// Whether a rendering of `frames` frames fits in one WAVE file.
constexpr bool waveFits(std::uint64_t frames) {
    return frames <= kMaxWaveDataBytes / kBytesPerFrame;
}

using WaveHead = std::array<std::uint8_t, kWaveHeadBytes>;

// The 46 bytes in front of the samples, for a data chunk of dataBytes bytes.
WaveHead waveHead(std::uint32_t dataBytes);

}  // namespace quarvel
