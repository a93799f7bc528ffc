// A plain per-frame renderer kept beside the tests as the measure of the
// product's fast loop: one frame at a time, one slot at a time, 16-bit phases,
// the envelope stepped after every slice, and a byte-at-a-time CRC-32. Every
// faster loop must produce the same frames, the same CRC, the same frame count
// and the same sequence of sink calls.
//
// Also here: RecordingSink, a FrameSink that logs every call, keeps the frames
// handed over, checks the call protocol and can stop the renderer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "output/render_loop.h"
#include "synth/tables.h"

namespace quarvel {

// CRC-32 over bytes, reflected, polynomial 0xEDB88320, chained through value:
// the register starts at NOT value and the result is NOT the register.
std::uint32_t referenceCrc(std::uint32_t value, const void* bytes, std::size_t length);

// Renders the score the slow way through the given sink.
RenderResult referenceRenderScore(const CompiledScore& score, const Tables& tables, int startPart,
                                  FrameSink& sink);

struct SinkCall {
    const std::uint32_t* buffer;
    int frames;
};

class RecordingSink : public FrameSink {
  public:
    static constexpr std::size_t kNoStop = std::numeric_limits<std::size_t>::max();
    static constexpr std::uint32_t kPoison = 0xA5A5'5A5Au;  // fills every buffer lent out

    // Answers a hand-over with nullptr (the user stopped) once at least
    // stopAfterFrames frames have arrived in total.
    explicit RecordingSink(std::size_t stopAfterFrames = kNoStop);

    std::uint32_t* exchangeBuffer(std::uint32_t* buffer, int frames) override;

    // The frames argument of every call in order: 0 for the open, then the
    // hand-overs, -1 for the close.
    std::vector<int> shape() const;

    std::vector<SinkCall> calls;
    std::vector<std::uint32_t> frames;  // every frame handed over, in order
    std::vector<std::string> faults;    // protocol breaches seen

  private:
    std::uint32_t* lend();

    std::vector<std::array<std::uint32_t, kBufferFrames>> buffers_;
    std::size_t nextBuffer_ = 0;
    std::uint32_t* lent_ = nullptr;
    bool finished_ = false;  // closed, or a stop was answered
    std::size_t stopAfter_;
};

struct ReferenceRender {
    std::vector<std::uint32_t> frames;
    std::uint32_t streamCrc = 0xFFFFFFFFu;
    double samplesRendered = 0;
};

// The reference rendering as plain data. With a frame cap the render is
// stopped at the hand-over that reaches the cap, so the frames, CRC and count
// cover whole buffers up to and including that one.
ReferenceRender referenceRender(const CompiledScore& score, const Tables& tables, int startPart,
                                std::size_t frameCap = RecordingSink::kNoStop);

}  // namespace quarvel
