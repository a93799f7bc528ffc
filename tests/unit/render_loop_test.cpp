// The renderer against frames worked out by hand: the sink's call sequence,
// buffer boundaries, stops, start parts, the 16-bit mix, the envelope steps
// and the phases. Most scores are built as images directly, with wave tables
// made for the purpose (a ramp, a constant) so that every sample can be
// predicted.
#include "output/render_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "support/reference_renderer.h"

namespace quarvel {
namespace {

using Slots = std::array<std::uint8_t, kVoices>;

struct Part {
    std::uint8_t number = 0;
    std::uint8_t tempoIndex = 96;
    std::uint8_t beatUnit = 1;
    std::uint8_t decayRate = 0;
    Slots slotInstrument{};
    std::vector<ScoreEvent> events{};
};

CompiledScore imageOf(const std::vector<Part>& parts, Slots levels = {2, 2, 2, 2, 2}) {
    CompiledScore score;
    score.envelopeLevel = levels;
    for (const Part& p : parts) {
        PartHeader h;
        h.events = score.image.events.size();
        h.number = p.number;
        h.slotInstrument = p.slotInstrument;
        h.decayRate = p.decayRate;
        h.beatUnit = p.beatUnit;
        h.tempoIndex = p.tempoIndex;
        score.image.parts.push_back(h);
        score.image.events.insert(score.image.events.end(), p.events.begin(), p.events.end());
        score.image.events.push_back(ScoreEvent{});  // ends the part
    }
    return score;
}

// Tables whose instrument 0 is the given wave and instruments 1..4 silent.
Tables tablesWith(const std::array<std::int16_t, kWaveLength>& wave) {
    Tables t = buildTables(kDefaultInstruments);
    for (auto& row : t.waveTables) row.fill(0);
    t.waveTables[0] = wave;
    return t;
}
std::array<std::int16_t, kWaveLength> ramp() {
    std::array<std::int16_t, kWaveLength> w{};
    for (int j = 0; j < kWaveLength; ++j) w[j] = static_cast<std::int16_t>(j - 128);
    return w;
}
std::array<std::int16_t, kWaveLength> constant(int value) {
    std::array<std::int16_t, kWaveLength> w{};
    w.fill(static_cast<std::int16_t>(value));
    return w;
}

std::int16_t leftOf(std::uint32_t frame) {
    return static_cast<std::int16_t>(frame & 0xFFFF);
}
std::int16_t rightOf(std::uint32_t frame) {
    return static_cast<std::int16_t>(frame >> 16);
}

struct Rendered {
    RenderResult result;
    RecordingSink sink;
};

Rendered render(const CompiledScore& score, const Tables& tables, int startPart = 0,
                std::size_t stopAfter = RecordingSink::kNoStop) {
    Rendered r{{}, RecordingSink(stopAfter)};
    r.result = renderScore(score, tables, startPart, r.sink);
    EXPECT_TRUE(r.sink.faults.empty()) << r.sink.faults.front();
    EXPECT_EQ(r.result.samplesRendered, static_cast<double>(r.sink.frames.size()));
    EXPECT_EQ(r.result.streamCrc,
              referenceCrc(0xFFFFFFFFu, r.sink.frames.data(), 4 * r.sink.frames.size()));
    return r;
}

// One note (46, slot 0) long enough for the given even number of frames, at
// two frames per slice.
CompiledScore noteOfFrames(int frames) {
    Part p{.tempoIndex = 1};
    for (int ticks = frames / 2, first = 1; ticks > 0; ticks -= 254, first = 0) {
        const auto d = static_cast<std::uint8_t>(std::min(ticks, 254));
        p.events.push_back(
            {d, {46, 0, 0, 0, 0}, {static_cast<std::uint8_t>(2 * first), 0, 0, 0, 0}});
    }
    return imageOf({p});
}

TEST(RenderCalls, NothingToRenderStillOpensHandsOverNothingAndCloses) {
    struct Case {
        std::string name;
        CompiledScore score;
        int startPart;
    };
    const Case cases[] = {
        {"no parts", CompiledScore{}, 0},
        {"no notes", compileScore(SourceText(""), Dialect::combined), 0},
        {"empty parts", imageOf({Part{}, Part{.number = 3}}), 0},
        {"start part nobody has", noteOfFrames(100), 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Rendered r = render(c.score, buildTables(kDefaultInstruments), c.startPart);
        EXPECT_EQ(r.sink.shape(), (std::vector<int>{0, 0, -1}));
        EXPECT_EQ(r.result.streamCrc, 0xFFFFFFFFu);
        EXPECT_EQ(r.result.samplesRendered, 0);
    }
}

TEST(RenderCalls, QuarterNoteAtTheDefaultsLasts96SlicesOf322Frames) {
    const CompiledScore score = compileScore(SourceText("Q1"), Dialect::combined);
    const Rendered r = render(score, buildTables(score.instruments));
    EXPECT_EQ(r.result.samplesRendered, 30912);
    std::vector<int> shape{0};
    shape.insert(shape.end(), 7, 4096);
    shape.insert(shape.end(), {30912 - 7 * 4096, -1});
    EXPECT_EQ(r.sink.shape(), shape);
    EXPECT_NE(r.result.streamCrc, 0xFFFFFFFFu);
}

TEST(RenderCalls, WholeBuffersEndWithAnEmptyHandOver) {
    for (int k = 1; k <= 3; ++k) {
        const Rendered r = render(noteOfFrames(4096 * k), buildTables(kDefaultInstruments));
        std::vector<int> shape{0};
        shape.insert(shape.end(), k, 4096);
        shape.insert(shape.end(), {0, -1});
        EXPECT_EQ(r.sink.shape(), shape) << k;
    }
}

// A hand-over answered with nullptr ends the render at once: no more calls,
// and the counts include the buffer just handed over.
TEST(RenderCalls, StopEndsTheRenderWithoutClosing) {
    struct Case {
        int frames;
        std::size_t stopAfter;
        std::vector<int> shape;
    };
    const Case cases[] = {
        {3 * 4096 + 100, 8192, {0, 4096, 4096}},
        {3 * 4096 + 100, 1, {0, 4096}},
        {100, 1, {0, 100}},
        {4096, 4096, {0, 4096}},
        {0, 0, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames, stop after " +
                     std::to_string(c.stopAfter));
        const Rendered r =
            render(noteOfFrames(c.frames), buildTables(kDefaultInstruments), 0, c.stopAfter);
        EXPECT_EQ(r.sink.shape(), c.shape);
        int handedOver = 0;
        for (std::size_t i = 1; i < c.shape.size(); ++i) handedOver += c.shape[i];
        EXPECT_EQ(r.result.samplesRendered, handedOver);
    }
}

// A source that moves on while its short buffer is handed over (watch mode:
// a save or a key) goes on in the same sink; goesOn is asked only then.
TEST(RenderCalls, ASourceThatMovesOnAfterItsEndGoesOnInTheSameSink) {
    struct Case {
        std::vector<std::size_t> fills;
        std::vector<bool> goesOn;  // answers, in order
        std::size_t stopAfter;
        std::vector<int> shape;
    };
    const Case cases[] = {
        {{4096, 10, 4096, 0}, {true, false}, RecordingSink::kNoStop, {0, 4096, 10, 4096, 0, -1}},
        {{7, 0, 3}, {true, true, false}, RecordingSink::kNoStop, {0, 7, 0, 3, -1}},
        {{10}, {false}, RecordingSink::kNoStop, {0, 10, -1}},
        {{4096, 10}, {}, 4100, {0, 4096, 10}},  // stopped: nothing asked, no close
    };
    for (const Case& c : cases) {
        RecordingSink sink(c.stopAfter);
        std::size_t fill = 0;
        std::size_t asked = 0;
        const RenderResult result = pushBuffers(
            sink, false,
            [&](std::uint32_t* buffer) {
                const std::size_t n = c.fills.at(fill++);
                std::fill_n(buffer, n, 0x00010001u);
                return n;
            },
            [&] { return c.goesOn.at(asked++); });
        EXPECT_TRUE(sink.faults.empty()) << sink.faults.front();
        EXPECT_EQ(sink.shape(), c.shape);
        EXPECT_EQ(fill, c.fills.size());
        EXPECT_EQ(asked, c.goesOn.size());
        EXPECT_EQ(result.samplesRendered, static_cast<double>(sink.frames.size()));
    }
}

// Parts numbered 0, 1, 5, 2 last 2, 4, 8 and 16 frames, so each frame count
// names the parts that made it.
TEST(RenderStartPart, RendersFromTheFirstPartCarryingTheNumber) {
    std::vector<Part> parts;
    const std::uint8_t numbers[] = {0, 1, 5, 2};
    for (int i = 0; i < 4; ++i) {
        parts.push_back({.number = numbers[i], .tempoIndex = 1});
        parts.back().events.push_back(
            {static_cast<std::uint8_t>(1 << i), {46, 0, 0, 0, 0}, {2, 0, 0, 0, 0}});
    }
    const CompiledScore score = imageOf(parts);
    const std::pair<int, int> cases[] = {{0, 30}, {1, 28}, {5, 24}, {2, 16}, {7, 0}, {256, 0}};
    for (const auto& [start, frames] : cases) {
        const Rendered r = render(score, buildTables(kDefaultInstruments), start);
        EXPECT_EQ(r.result.samplesRendered, frames) << "start part " << start;
    }
    // A later part with the same number (a replay) does not restart anything.
    parts.push_back(parts[2]);
    const Rendered twice = render(imageOf(parts), buildTables(kDefaultInstruments), 5);
    EXPECT_EQ(twice.result.samplesRendered, 8 + 16 + 8);
}

// Each slot adds the low 16 bits of w x amplitude; two slots sum into the
// left channel and three into the right, wrapping as signed 16-bit values.
TEST(RenderMix, ChannelSumsWrapWithoutClipping) {
    struct Case {
        int wave;
        int left, right;
    };
    const Case cases[] = {
        {45, 22950, -31111},     // 3 x 11475 = 34425 wraps
        {-43, -21930, 32641},    // 3 x -10965 = -32895 wraps
        {1, 510, 765},           //
        {300, 21928, 32892},     // 300 x 255 = 76500 keeps 10964
        {-300, -21928, -32892},  //
        {0, 0, 0},               //
    };
    Part p{.slotInstrument = {0, 0, 0, 0, 0}};
    p.events.push_back({1, {0, 0, 0, 0, 0}, {2, 2, 2, 2, 2}});
    const CompiledScore score = imageOf({p});
    for (const Case& c : cases) {
        const Rendered r = render(score, tablesWith(constant(c.wave)));
        ASSERT_EQ(r.sink.frames.size(), 322u);
        const auto expected = static_cast<std::uint32_t>(static_cast<std::uint16_t>(c.left)) |
                              static_cast<std::uint32_t>(static_cast<std::uint16_t>(c.right)) << 16;
        for (std::uint32_t frame : r.sink.frames) ASSERT_EQ(frame, expected) << "wave " << c.wave;
    }
    // The same wrap from a real pattern instrument of volume 15, whose first
    // sample is 45: rests leave every phase at 0.
    std::array<Instrument, kVoices> set = kDefaultInstruments;
    set[4] = {0, {4, 0, 0, 0, 0, 0, 0, 1}, 15};
    p.slotInstrument = {4, 4, 4, 4, 4};
    const Rendered r = render(imageOf({p}), buildTables(set));
    EXPECT_EQ(rightOf(r.sink.frames.back()), -31111);
    EXPECT_EQ(leftOf(r.sink.frames.back()), 22950);
}

TEST(RenderMix, FrameBytesAreLeftLowLeftHighRightLowRightHigh) {
    // Level 230 has amplitude 1: the left sample is 1, the right one 0.
    Part p{.slotInstrument = {0, 1, 1, 1, 1}};
    p.events.push_back({1, {0, 0, 0, 0, 0}, {230, 0, 0, 0, 0}});
    const Rendered r = render(imageOf({p}), tablesWith(constant(1)));
    ASSERT_FALSE(r.sink.frames.empty());
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &r.sink.frames.front(), 4);
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 4>{1, 0, 0, 0}));
    std::vector<std::uint8_t> stream;
    for (std::size_t i = 0; i < r.sink.frames.size(); ++i)
        stream.insert(stream.end(), {1, 0, 0, 0});
    EXPECT_EQ(r.result.streamCrc, referenceCrc(0xFFFFFFFFu, stream.data(), stream.size()));
}

// The phase advances by half the increment, rounded down, before the wave is
// read at its high byte. Instrument 0 is a ramp, w = column - 128. After 256
// frames the column is the half increment mod 256.
TEST(RenderPhase, FirstFramesOfSingleNotes) {
    struct Case {
        int slot, note, level;
        std::vector<int> samples;  // frames 1 to 6
        int frame256;              // and frame 256
    };
    const Case cases[] = {
        // +654: columns 2, 5, 7, 10, 12, 15 at amplitude 255; then 142
        {0, 46, 2, {-32130, -31365, -30855, -30090, -29580, -28815}, 3570},
        // +16374: columns 63, 127, 191, 255, then round to 63, 127; then 246
        {1, 89, 2, {-16575, -255, 16065, 32385, -16575, -255}, 30090},
        // +48: column 0 for five frames, then 1; then 48 (49 if the half were
        // rounded up); amplitude 128
        {3, 1, 36, {-16384, -16384, -16384, -16384, -16384, -16256}, -10240},
        // +20995 (noise rate 41991): columns 82, 164, 246, 72, 154, 236 at
        // 245; then 3
        {4, 88, 6, {-11270, 8820, 28910, -13720, 6370, 26460}, -30625},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("note " + std::to_string(c.note));
        Part p;
        p.slotInstrument = {1, 1, 1, 1, 1};
        p.slotInstrument[c.slot] = 0;
        ScoreEvent e{1, {}, {}};
        e.note[c.slot] = static_cast<std::uint8_t>(c.note);
        e.envelope[c.slot] = static_cast<std::uint8_t>(c.level);
        p.events.push_back(e);
        const Rendered r = render(imageOf({p}), tablesWith(ramp()));
        ASSERT_GE(r.sink.frames.size(), c.samples.size());
        for (std::size_t i = 0; i < c.samples.size(); ++i) {
            const std::uint32_t frame = r.sink.frames[i];
            EXPECT_EQ(c.slot < 2 ? leftOf(frame) : rightOf(frame), c.samples[i]) << "frame " << i;
            EXPECT_EQ(c.slot < 2 ? rightOf(frame) : leftOf(frame), 0) << "frame " << i;
        }
        const std::uint32_t frame = r.sink.frames[255];
        EXPECT_EQ(c.slot < 2 ? leftOf(frame) : rightOf(frame), c.frame256);
    }
}

// A rest (increment 0) holds the phase where the note left it, and the phase
// runs on from there in the next part: 322 frames of +654 end at 13980,
// column 54.
TEST(RenderPhase, RestsHoldThePhaseAndPartsDoNotResetIt) {
    Part first{.slotInstrument = {0, 1, 1, 1, 1}};
    first.events.push_back({1, {46, 0, 0, 0, 0}, {2, 0, 0, 0, 0}});
    first.events.push_back({1, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}});
    Part second = first;
    second.events = {{1, {46, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}};
    const Rendered r = render(imageOf({first, second}), tablesWith(ramp()));
    ASSERT_EQ(r.sink.frames.size(), 3u * 322);
    for (int i = 0; i < 3 * 322; ++i) {
        const int advanced = i < 322 ? i + 1 : i < 644 ? 322 : i - 321;
        const int column = (654 * advanced) % 65536 >> 8;
        ASSERT_EQ(leftOf(r.sink.frames[i]), (column - 128) * 255) << "frame " << i;
    }
    EXPECT_EQ(leftOf(r.sink.frames[400]), (54 - 128) * 255);
}

// With a constant wave of 1 every slot adds the amplitude of its level, so
// each channel reads back the sum of its slots' amplitudes. Two frames per
// slice; slot 0 sounds a note, the other slots rest.
TEST(RenderEnvelope, LevelsStepAfterEveryDecayRateSlicesAcrossEvents) {
    Part a{.tempoIndex = 1, .decayRate = 3, .slotInstrument = {0, 0, 0, 0, 0}};
    a.events = {{4, {46, 0, 0, 0, 0}, {6, 0, 0, 0, 0}},
                {4, {46, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},    // envelope 0: go on
                {2, {46, 0, 0, 0, 0}, {20, 0, 0, 0, 0}}};  // slot 0 restarts at 20
    Part b = a;                                            // the counter starts again with the part
    b.events = {{4, {46, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}};
    const Rendered r = render(imageOf({a, b}, {2, 10, 40, 30, 60}), tablesWith(constant(1)));
    struct Span {
        int slices;
        Slots levels;
    };
    const Span spans[] = {
        {3, {6, 10, 40, 30, 60}},  {3, {8, 12, 42, 32, 62}},  // step after slice 3
        {2, {10, 14, 44, 34, 64}},                            // and 6, across events
        {1, {20, 14, 44, 34, 64}},                            // envelope byte 20
        {4, {22, 16, 46, 36, 66}},                            // after 9; part b reloads the counter
        {1, {24, 18, 48, 38, 68}},                            // after slice 3 of part b, not 2
    };
    std::size_t frame = 0;
    for (const Span& span : spans) {
        const Slots& l = span.levels;
        const int left = kDecayTable[l[0]] + kDecayTable[l[1]];
        const int right = kDecayTable[l[2]] + kDecayTable[l[3]] + kDecayTable[l[4]];
        for (int f = 0; f < 2 * span.slices; ++f, ++frame) {
            ASSERT_LT(frame, r.sink.frames.size());
            EXPECT_EQ(leftOf(r.sink.frames[frame]), left) << "frame " << frame;
            EXPECT_EQ(rightOf(r.sink.frames[frame]), right) << "frame " << frame;
        }
    }
    EXPECT_EQ(frame, r.sink.frames.size());
}

TEST(RenderEnvelope, LevelsStopAtSilenceAndStandStillWithoutDecay) {
    struct Case {
        std::uint8_t decayRate, startLevel;
        std::vector<int> amplitudes;  // per slice
    };
    const Case cases[] = {
        {1, 250, {1, 1, 0, 0, 0, 0}},  // 250, 252, 254, then 254 for ever
        {2, 250, {1, 1, 1, 1, 0, 0}},
        {0, 6, {245, 245, 245, 245, 245, 245}},
    };
    for (const Case& c : cases) {
        Part p{.tempoIndex = 1, .decayRate = c.decayRate, .slotInstrument = {0, 1, 1, 1, 1}};
        p.events = {{6, {46, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}};
        const Rendered r =
            render(imageOf({p}, {c.startLevel, 2, 2, 2, 2}), tablesWith(constant(1)));
        ASSERT_EQ(r.sink.frames.size(), 12u);
        for (std::size_t f = 0; f < 12; ++f) {
            EXPECT_EQ(leftOf(r.sink.frames[f]), c.amplitudes[f / 2])
                << "decay rate " << int{c.decayRate} << ", frame " << f;
        }
    }
}

}  // namespace
}  // namespace quarvel
