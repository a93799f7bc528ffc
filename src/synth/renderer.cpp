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
        : tables_(tables),
          rows_(kVoices * 256 * kWaveLength),
          ready_(kVoices * 256, false),
          flat_(kVoices * 256, 0) {}

    struct Row {
        const std::int16_t* samples;
        bool flat;  // one value 256 times (silence, or a flat wave)
    };

    Row row(int instrument, int level) {
        const std::size_t key = static_cast<std::size_t>(instrument) * 256 + level;
        std::int16_t* samples = &rows_[key * kWaveLength];
        if (!ready_[key]) {
            const std::int32_t amplitude = kDecayTable[level];
            const auto& wave = tables_.waveTables[instrument];
            bool flat = true;
            for (int j = 0; j < kWaveLength; ++j) {
                samples[j] = static_cast<std::int16_t>(wave[j] * amplitude);
                flat = flat && samples[j] == samples[0];
            }
            ready_[key] = true;
            flat_[key] = flat;
        }
        return {samples, flat_[key] != 0};
    }

  private:
    const Tables& tables_;
    std::vector<std::int16_t> rows_;
    std::vector<bool> ready_;
    std::vector<char> flat_;
};

class Renderer {
  public:
    Renderer(const CompiledScore& score, const Tables& tables, FrameSink& sink, MixKernel kernel,
             bool keepCrc)
        : score_(score),
          tables_(tables),
          sink_(sink),
          kernel_(kernel),
          keepCrc_(keepCrc),
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
                mix_.step[s] = static_cast<std::uint16_t>(tables_.pitchTable[event.note[s]] / 2);
                if (event.envelope[s] != 0) level_[s] = event.envelope[s];
            }
            // Slices between two envelope steps sound the same rows: render
            // them as one run.
            int slices = part.beatUnit * event.duration;
            while (slices > 0) {
                const int run = decayCounter == 0 ? slices : std::min<int>(slices, decayCounter);
                for (int s = 0; s < kVoices; ++s) {
                    const auto row = waves_.row(part.slotInstrument[s], level_[s]);
                    mix_.row[s] = row.samples;
                    mix_.flat[s] = row.flat;
                }
                if (!renderFrames(run * sliceFrames)) return false;
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

    bool renderFrames(int frames) {
        while (frames > 0) {
            const int count = std::min(frames, kBufferFrames - frameCount_);
            kernel_(buffer_ + frameCount_, count, mix_);
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
        if (keepCrc_) {
            result_.streamCrc =
                crcUpdate(result_.streamCrc, buffer_, 4 * static_cast<std::size_t>(frames));
        }
    }

    const CompiledScore& score_;
    const Tables& tables_;
    FrameSink& sink_;
    MixKernel kernel_;
    bool keepCrc_;
    ScaledWaves waves_;
    std::array<std::uint8_t, kVoices> level_;
    MixState mix_;  // phases never reset: they run on across events and parts
    std::uint32_t* buffer_ = nullptr;
    int frameCount_ = 0;
    RenderResult result_;
};

}  // namespace

RenderResult renderScore(const CompiledScore& score, const Tables& tables, int startPart,
                         FrameSink& sink, MixKernel kernel, bool keepCrc) {
    return Renderer(score, tables, sink, kernel, keepCrc).run(startPart);
}

}  // namespace quarvel
