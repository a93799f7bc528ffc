// The renderer: five voices of wavetable synthesis with a stepped decay
// envelope, mixed into 16-bit stereo frames at 44100 frames per second and
// handed out in buffers of 4096 frames.
#pragma once

#include <cstdint>

#include "compiler/score_image.h"
#include "synth/mix_kernels.h"
#include "synth/tables.h"

namespace quarvel {

inline constexpr int kBufferFrames = 4096;
inline constexpr int kFrameRate = 44100;

// Where rendered buffers go. A frame is left | right << 16, each a signed
// 16-bit sample. The renderer calls exchangeBuffer(nullptr, 0) once to open,
// then exchangeBuffer(buffer, frames) with every filled buffer (the last one
// partial, possibly empty), and finally exchangeBuffer(buffer, -1) to close,
// unless a hand-over answered nullptr: the user stopped, and the sink is
// already shut.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual std::uint32_t* exchangeBuffer(std::uint32_t* buffer, int frames) = 0;
};

struct RenderResult {
    std::uint32_t streamCrc = 0xFFFFFFFFu;  // CRC-32 of every sample byte handed over
    double samplesRendered = 0;             // frames handed over
};

// Renders the parts from the first one numbered startPart (0: from the start),
// with the fastest frame loop this processor runs unless one is named. A run
// whose CRC nobody reads may leave it out (keepCrc false): streamCrc is then
// not meaningful.
RenderResult renderScore(const CompiledScore& score, const Tables& tables, int startPart,
                         FrameSink& sink, MixKernel kernel = selectMixKernel(),
                         bool keepCrc = true);

// Chains a CRC-32 (reflected, polynomial 0xEDB88320) over more bytes.
std::uint32_t crcUpdate(std::uint32_t value, const void* bytes, std::size_t length);

}  // namespace quarvel
