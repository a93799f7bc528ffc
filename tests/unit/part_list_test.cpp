// The part list: headers filled at each part close, "P" with its optional
// number, "R" replays, and the events that a replay leaves unreferenced.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "support/image_text.h"

namespace quarvel {
namespace {

using Inst = std::array<std::uint8_t, kVoices>;
constexpr Inst kDefaultInst{3, 3, 3, 3, 3};

// A part header as the compiler fills it; the defaults are the settings at start.
PartHeader h(std::size_t events, std::uint8_t number, Inst inst = kDefaultInst,
             std::uint8_t decay = 0, std::uint8_t beat = 2, std::uint8_t tempo = 96) {
    PartHeader header;
    header.events = events;
    header.number = number;
    header.slotInstrument = inst;
    header.decayRate = decay;
    header.beatUnit = beat;
    header.tempoIndex = tempo;
    return header;
}

const ScoreEvent kEnd{};

// A quarter note of voice 1 alone on slot 0.
ScoreEvent solo(std::uint8_t note, std::uint8_t envelope, std::uint8_t duration = 48) {
    return {duration, {note, 0, 0, 0, 0}, {envelope, 0, 0, 0, 0}};
}

struct PartCase {
    const char* name;
    const char* text;
    std::vector<PartHeader> parts;
    std::vector<ScoreEvent> events;
};

TEST(PartList, ImagesOfPartsAndReplays) {
    const Inst rowOne{0, 2, 1, 3, 3};  // voices on A B C D D; row 1 swaps slots 1 and 2
    // clang-format off
    const PartCase cases[] = {
        {"no part command: the empty part 0 and one part", "Q1",
         {h(0, 0), h(1, 0)}, {kEnd, solo(39, 2), kEnd}},
        {"P01 first: an empty unnumbered part before part 1", "P01Q1",
         {h(0, 0), h(1, 0), h(2, 1)}, {kEnd, kEnd, solo(39, 2), kEnd}},
        {"a blank after P: unnumbered, the digits are notes", "P 05",
         {h(0, 0), h(1, 0), h(2, 0)}, {kEnd, kEnd, solo(37, 2, 1), solo(46, 2, 1), kEnd}},
        {"a TAB after P works like a blank", "P\t05",
         {h(0, 0), h(1, 0), h(2, 0)}, {kEnd, kEnd, solo(37, 2, 1), solo(46, 2, 1), kEnd}},
        {"P00 may be repeated", "P00Q1P00Q2P00",
         {h(0, 0), h(1, 0), h(2, 0), h(4, 0), h(6, 0)},
         {kEnd, kEnd, solo(39, 2), kEnd, solo(41, 2), kEnd, kEnd}},
        {"R closes part 5 first, then replays it", "P05Q1R05",
         {h(0, 0), h(1, 0), h(2, 5), h(2, 5)}, {kEnd, kEnd, solo(39, 2), kEnd, kEnd}},
        {"lower-case hex part numbers", "p0aQ1r0A",
         {h(0, 0), h(1, 0), h(2, 10), h(2, 10)}, {kEnd, kEnd, solo(39, 2), kEnd, kEnd}},
        {"the replay takes the settings at its own close; part 6 follows it", "P05Q1R05=40P06Q2",
         {h(0, 0), h(1, 0), h(2, 5), h(2, 5, kDefaultInst, 0, 2, 32), h(5, 6, kDefaultInst, 0, 2, 32)},
         {kEnd, kEnd, solo(39, 2), kEnd, kEnd, solo(41, 2), kEnd}},
        {"notes after R are merged, never referenced, and set lastNote", "P05Q1R05Q2P06Q2",
         {h(0, 0), h(1, 0), h(2, 5), h(2, 5), h(6, 6)},
         {kEnd, kEnd, solo(39, 2), kEnd, solo(41, 2), kEnd, solo(41, 0), kEnd}},
        {"notes after R change the accidental memory, which P keeps", "P05Q1R05Q3#P06Q3",
         {h(0, 0), h(1, 0), h(2, 5), h(2, 5), h(6, 6)},
         {kEnd, kEnd, solo(39, 2), kEnd, solo(43, 2), kEnd, solo(43, 0), kEnd}},
        {"a text ending right after P07 ends with an empty part 7", "Q1P07",
         {h(0, 0), h(1, 0), h(3, 7)}, {kEnd, solo(39, 2), kEnd, kEnd}},
        {"settings changed after the notes apply to the whole part",
         "YA V2 YB V3 YC V1 Q1 =40 NI JBT5 Z1 P =80 NT",
         {h(0, 0), h(1, 0, rowOne, 5, 4, 32), h(3, 0, rowOne, 5, 16, 64)},
         {kEnd, solo(39, 2), kEnd, kEnd}},
        // Row 2: voice 1 on slot 2, voice 2 on slot 0, voice 3 on slot 1.
        {"a slot map changed mid-part: bars by the old row, instruments by the new",
         "YA V2 YB V1 Q1 M Z2 Q1", {h(0, 0), h(1, 0, {1, 3, 0, 3, 3})},
         {kEnd, solo(39, 2), {48, {0, 0, 39, 0, 0}, {0, 0, 0, 0, 0}}, kEnd}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.text);
        const CompiledScore score = compileScore(SourceText(c.text), Dialect::combined);
        EXPECT_EQ(score.image.parts, c.parts) << imageText(score.image);
        EXPECT_EQ(score.image.events, c.events) << imageText(score.image);
    }
}

TEST(PartList, PartAndReplayFaults) {
    // clang-format off
    const FaultCase cases[] = {
        {"P05Q1P05", 4, 1, 8}, {"P05Q1\r\nP05", 4, 2, 3}, {"P01P02P01", 4, 1, 9},
        {"PV2", 2, 1, 2}, {"P5 ", 2, 1, 3},
        {"P5", 2, 2, 0},     // the second digit meets the end of the text
        {"P\x01", 2, 1, 2},  // a control byte: unnumbered, then a bad note
        {"P\xFF", 2, 1, 2},  // a byte 0xFF is above 0x20 and no digit
        {"R00", 4, 1, 3}, {"R07Q1P07", 4, 1, 3}, {"P07Q1R08", 4, 1, 8}, {"RX1", 2, 1, 2},
        {"R", 2, 2, 0}};
    // clang-format on
    for (const auto& c : cases) expectFault(c);
}

TEST(PartList, FindPartSeesOnlyClosedParts) {
    CompilerRun run("P05Q1P07Q2");
    run.dispatchAll();
    const ScoreCompiler& c = run.compiler;
    ASSERT_EQ(c.image.parts.size(), 3u) << imageText(c.image);
    EXPECT_EQ(c.findPart(5), std::optional<std::size_t>(2));
    EXPECT_EQ(c.findPart(7), std::nullopt) << "part 7 is still open";
    EXPECT_EQ(c.findPart(9), std::nullopt);
    EXPECT_EQ(c.settings.partNumber, 7);
}

TEST(PartList, ReplayKeepsFindingTheOriginal) {
    // The replay shares number 5 with the part before it; a second "R05"
    // still reaches the original part's events.
    const CompiledScore score = compileScore(SourceText("P05 Q1 R05 R05"), Dialect::combined);
    EXPECT_EQ(score.image.parts,
              (std::vector<PartHeader>{h(0, 0), h(1, 0), h(2, 5), h(2, 5), h(2, 5)}))
        << imageText(score.image);
}

}  // namespace
}  // namespace quarvel
