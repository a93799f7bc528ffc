// The program's way of rendering: pull the whole rendering from a Player in
// buffers of 4096 frames and hand each one to a sink, which plays it, writes
// it or only counts it, and paces the loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "compiler/score_image.h"
#include "output/frame_sink.h"
#include "synth/mix_kernels.h"
#include "synth/player.h"
#include "synth/tables.h"

namespace quarvel {

struct RenderResult {
    std::uint32_t streamCrc = 0xFFFFFFFFu;  // CRC-32 of every sample byte handed over
    double samplesRendered = 0;             // frames handed over
};

// Renders the parts from the first one numbered startPart (0: from the start)
// into the sink, with the fastest frame loop this processor runs unless one is
// named. A run whose CRC nobody reads may leave it out (keepCrc false):
// streamCrc is then not meaningful.
RenderResult renderScore(const CompiledScore& score, const Tables& tables, int startPart,
                         FrameSink& sink, MixKernel kernel = selectMixKernel(),
                         bool keepCrc = true);

// The sink protocol around a source of frames: fill(buffer) puts up to
// kBufferFrames frames into the buffer lent and answers how many; fewer than
// that means the end, unless goesOn, asked once that short buffer is handed
// over, answers that the source moved on meanwhile (watch mode: a save or a
// key). Each buffer counts towards the result before it is handed over, so a
// stopped run counts the buffer handed over last.
RenderResult pushBuffers(FrameSink& sink, bool keepCrc,
                         const std::function<std::size_t(std::uint32_t*)>& fill,
                         const std::function<bool()>& goesOn = {});

// The same loop over a player that may already stand anywhere, rendering at
// most `limit` frames (a range of the rendering).
RenderResult renderInto(Player& player, FrameSink& sink, bool keepCrc,
                        std::uint64_t limit = UINT64_MAX);

// Chains a CRC-32 (reflected, polynomial 0xEDB88320) over more bytes.
std::uint32_t crcUpdate(std::uint32_t value, const void* bytes, std::size_t length);

}  // namespace quarvel
