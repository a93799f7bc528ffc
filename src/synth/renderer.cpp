#include "synth/renderer.h"

#include <libdeflate.h>

#include <algorithm>
#include <vector>

namespace quarvel {

std::uint32_t crcUpdate(std::uint32_t value, const void* bytes, std::size_t length) {
    return libdeflate_crc32(value, bytes, length);
}

namespace {

// Wave rows premultiplied by the amplitude of an envelope level, built the
// first time an (instrument, level) pair sounds. Within a run of frames only
// the phases change, so the frame loop is five lookups and two sums.
class ScaledWaves {
  public:
    explicit ScaledWaves(const Tables& tables)
        : tables_(tables), rows_(kVoices * 256 * kWaveLength), ready_(kVoices * 256, false) {}

    const std::int16_t* row(int instrument, int level) {
        const std::size_t key = static_cast<std::size_t>(instrument) * 256 + level;
        std::int16_t* row = &rows_[key * kWaveLength];
        if (!ready_[key]) {
            const std::int32_t amplitude = kDecayTable[level];
            const auto& wave = tables_.waveTables[instrument];
            for (int j = 0; j < kWaveLength; ++j) {
                row[j] = static_cast<std::int16_t>(wave[j] * amplitude);
            }
            ready_[key] = true;
        }
        return row;
    }

  private:
    const Tables& tables_;
    std::vector<std::int16_t> rows_;
    std::vector<bool> ready_;
};

// Phases live in the top 16 bits of 32-bit registers so that they wrap at
// 65536 for free.
void mixFrames(std::uint32_t* out, int count, std::array<std::uint32_t, kVoices>& phase,
               const std::array<std::uint32_t, kVoices>& step,
               const std::array<const std::int16_t*, kVoices>& row) {
    std::uint32_t p0 = phase[0], p1 = phase[1], p2 = phase[2], p3 = phase[3], p4 = phase[4];
    const std::uint32_t s0 = step[0], s1 = step[1], s2 = step[2], s3 = step[3], s4 = step[4];
    const std::int16_t *r0 = row[0], *r1 = row[1], *r2 = row[2], *r3 = row[3], *r4 = row[4];
    for (int i = 0; i < count; ++i) {
        p0 += s0;
        p1 += s1;
        p2 += s2;
        p3 += s3;
        p4 += s4;
        const auto left = static_cast<std::uint16_t>(r0[p0 >> 24] + r1[p1 >> 24]);
        const auto right = static_cast<std::uint16_t>(r2[p2 >> 24] + r3[p3 >> 24] + r4[p4 >> 24]);
        out[i] = left | static_cast<std::uint32_t>(right) << 16;
    }
    phase = {p0, p1, p2, p3, p4};
}

class Renderer {
  public:
    Renderer(const CompiledScore& score, const Tables& tables, FrameSink& sink)
        : score_(score),
          tables_(tables),
          sink_(sink),
          waves_(tables),
          level_(score.envelopeLevel) {}

    RenderResult run(int startPart) {
        buffer_ = sink_.exchangeBuffer(nullptr, 0);
        const ScoreImage& image = score_.image;
        for (const PartHeader& part : image.parts) {
            if (startPart != 0 && startPart != part.number) continue;
            startPart = 0;
            if (!renderPart(part)) return result_;
        }
        if (frameCount_ > 0) account(frameCount_);
        std::uint32_t* last = sink_.exchangeBuffer(buffer_, frameCount_);
        if (last != nullptr) sink_.exchangeBuffer(last, -1);
        return result_;
    }

  private:
    // Renders one part; false when the user stopped.
    bool renderPart(const PartHeader& part) {
        std::uint8_t decayCounter = part.decayRate;
        const int sliceFrames = 2 * tables_.tempoTable[part.tempoIndex];
        const auto& events = score_.image.events;
        for (std::size_t e = part.events; events[e].duration != 0; ++e) {
            const ScoreEvent& event = events[e];
            for (int s = 0; s < kVoices; ++s) {
                step_[s] = static_cast<std::uint32_t>(tables_.pitchTable[event.note[s]] / 2) << 16;
                if (event.envelope[s] != 0) level_[s] = event.envelope[s];
            }
            // Slices between two envelope steps sound the same rows: render
            // them as one run.
            int slices = part.beatUnit * event.duration;
            while (slices > 0) {
                const int run = decayCounter == 0 ? slices : std::min<int>(slices, decayCounter);
                std::array<const std::int16_t*, kVoices> rows;
                for (int s = 0; s < kVoices; ++s)
                    rows[s] = waves_.row(part.slotInstrument[s], level_[s]);
                if (!renderFrames(run * sliceFrames, rows)) return false;
                slices -= run;
                if (decayCounter != 0) {
                    decayCounter = static_cast<std::uint8_t>(decayCounter - run);
                    if (decayCounter == 0) {
                        decayCounter = part.decayRate;
                        stepEnvelopes();
                    }
                }
            }
        }
        return true;
    }

    void stepEnvelopes() {
        for (auto& level : level_) {
            level = static_cast<std::uint8_t>(level + 2);
            if (level == 0) level = 254;
        }
    }

    bool renderFrames(int frames, const std::array<const std::int16_t*, kVoices>& rows) {
        while (frames > 0) {
            const int count = std::min(frames, kBufferFrames - frameCount_);
            mixFrames(buffer_ + frameCount_, count, phase_, step_, rows);
            frameCount_ += count;
            frames -= count;
            if (frameCount_ == kBufferFrames) {
                account(kBufferFrames);
                buffer_ = sink_.exchangeBuffer(buffer_, kBufferFrames);
                frameCount_ = 0;
                if (buffer_ == nullptr) return false;
            }
        }
        return true;
    }

    void account(int frames) {
        result_.samplesRendered += frames;
        result_.streamCrc =
            crcUpdate(result_.streamCrc, buffer_, 4 * static_cast<std::size_t>(frames));
    }

    const CompiledScore& score_;
    const Tables& tables_;
    FrameSink& sink_;
    ScaledWaves waves_;
    std::array<std::uint8_t, kVoices> level_;
    std::array<std::uint32_t, kVoices> phase_{};
    std::array<std::uint32_t, kVoices> step_{};
    std::uint32_t* buffer_ = nullptr;
    int frameCount_ = 0;
    RenderResult result_;
};

}  // namespace

RenderResult renderScore(const CompiledScore& score, const Tables& tables, int startPart,
                         FrameSink& sink) {
    return Renderer(score, tables, sink).run(startPart);
}

}  // namespace quarvel
