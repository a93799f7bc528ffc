#include "support/reference_renderer.h"

#include <utility>

namespace quarvel {

namespace {

// Entry n is n after eight steps of: shift right by one, and XOR with the
// polynomial if the bit shifted out was 1.
const std::array<std::uint32_t, 256>& crcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

}  // namespace

std::uint32_t referenceCrc(std::uint32_t value, const void* bytes, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t c = ~value;
    for (std::size_t i = 0; i < length; ++i) c = (c >> 8) ^ crcTable()[(c ^ p[i]) & 0xFFu];
    return ~c;
}

RenderResult referenceRenderScore(const CompiledScore& score, const Tables& tables, int startPart,
                                  FrameSink& sink) {
    RenderResult result;
    // Each slot starts at the level the compiler left for the voice of the same index.
    std::array<std::uint8_t, kVoices> envelopeLevel = score.envelopeLevel;
    std::array<std::uint16_t, kVoices> phase{};
    std::array<std::uint16_t, kVoices> increment{};

    std::uint32_t* buffer = sink.exchangeBuffer(nullptr, 0);
    int frameCount = 0;

    for (const PartHeader& header : score.image.parts) {
        if (startPart != 0 && startPart != header.number) continue;
        startPart = 0;
        std::uint8_t decayCounter = header.decayRate;
        const int sliceFrames = 2 * tables.tempoTable[header.tempoIndex];

        for (std::size_t e = header.events; score.image.events[e].duration != 0; ++e) {
            const ScoreEvent& event = score.image.events[e];
            for (int s = 0; s < kVoices; ++s) {
                increment[s] = tables.pitchTable[event.note[s]];
                if (event.envelope[s] != 0) envelopeLevel[s] = event.envelope[s];
            }
            const int slices = header.beatUnit * event.duration;
            for (int slice = 0; slice < slices; ++slice) {
                for (int f = 0; f < sliceFrames; ++f) {
                    std::array<std::uint16_t, kVoices> contribution{};
                    for (int s = 0; s < kVoices; ++s) {
                        phase[s] = static_cast<std::uint16_t>(phase[s] + increment[s] / 2);
                        const int w = tables.waveTables[header.slotInstrument[s]][phase[s] >> 8];
                        contribution[s] =
                            static_cast<std::uint16_t>(w * kDecayTable[envelopeLevel[s]]);
                    }
                    const auto left = static_cast<std::uint16_t>(contribution[0] + contribution[1]);
                    const auto right = static_cast<std::uint16_t>(
                        contribution[2] + contribution[3] + contribution[4]);
                    buffer[frameCount] = left | static_cast<std::uint32_t>(right) << 16;
                    ++frameCount;
                    if (frameCount == kBufferFrames) {
                        result.samplesRendered += kBufferFrames;
                        result.streamCrc =
                            referenceCrc(result.streamCrc, buffer, 4 * std::size_t{kBufferFrames});
                        buffer = sink.exchangeBuffer(buffer, kBufferFrames);
                        if (buffer == nullptr) return result;
                        frameCount = 0;
                    }
                }
                // Envelope step: every decayRate slices all five levels move two
                // steps quieter; the counter runs on across events.
                if (decayCounter != 0) {
                    --decayCounter;
                    if (decayCounter == 0) {
                        decayCounter = header.decayRate;
                        for (auto& level : envelopeLevel) {
                            level = static_cast<std::uint8_t>(level + 2);
                            if (level == 0) level = 254;
                        }
                    }
                }
            }
        }
    }

    if (frameCount > 0) {
        result.samplesRendered += frameCount;
        result.streamCrc =
            referenceCrc(result.streamCrc, buffer, 4 * static_cast<std::size_t>(frameCount));
    }
    std::uint32_t* last = sink.exchangeBuffer(buffer, frameCount);
    if (last != nullptr) sink.exchangeBuffer(last, -1);
    return result;
}

RecordingSink::RecordingSink(std::size_t stopAfterFrames)
    : buffers_(3), stopAfter_(stopAfterFrames) {}

// Lends the buffers in rotation, as a playing sink does, each one poisoned so
// that a frame the renderer forgets to write shows.
std::uint32_t* RecordingSink::lend() {
    auto& buffer = buffers_[nextBuffer_];
    nextBuffer_ = (nextBuffer_ + 1) % buffers_.size();
    buffer.fill(kPoison);
    lent_ = buffer.data();
    return lent_;
}

std::uint32_t* RecordingSink::exchangeBuffer(std::uint32_t* buffer, int count) {
    calls.push_back({buffer, count});
    const std::string call = "call " + std::to_string(calls.size()) + ": ";
    if (finished_) {
        faults.push_back(call + "after the sink was closed or stopped");
        return nullptr;
    }
    if (calls.size() == 1) {
        if (buffer != nullptr || count != 0) faults.push_back(call + "open is not (nullptr, 0)");
        return lend();
    }
    if (buffer != lent_) faults.push_back(call + "buffer is not the one lent last");
    if (count < 0) {
        finished_ = true;
        lent_ = nullptr;
        return nullptr;
    }
    if (count > kBufferFrames) {
        faults.push_back(call + "more than a buffer of frames");
        count = kBufferFrames;
    }
    if (buffer != nullptr) frames.insert(frames.end(), buffer, buffer + count);
    if (frames.size() >= stopAfter_) {
        finished_ = true;
        lent_ = nullptr;
        return nullptr;
    }
    return lend();
}

std::vector<int> RecordingSink::shape() const {
    std::vector<int> result;
    for (const SinkCall& c : calls) result.push_back(c.frames);
    return result;
}

ReferenceRender referenceRender(const CompiledScore& score, const Tables& tables, int startPart,
                                std::size_t frameCap) {
    RecordingSink sink(frameCap);
    const RenderResult result = referenceRenderScore(score, tables, startPart, sink);
    return {std::move(sink.frames), result.streamCrc, result.samplesRendered};
}

}  // namespace quarvel
