// The event merger: bars cut into events, pitches resolved through offsets,
// transposition, octave folding and the accidental memory, envelopes decided
// by each voice's last note, and the level of a voice that has run out.
//
// Note numbers below come from the scale table (index i gives
// 12 * (i / 7) + {1,3,5,6,8,10,12}[i % 7]) with degree k at index 21 + k:
// degree 0 -> 37, 1 -> 39, 2 -> 41, 3 (F) -> 42, 4 -> 44, 5 -> 46, 6 -> 48,
// 7 -> 49, A (10, F an octave up) -> 54, G (16) -> 65.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "support/image_text.h"

namespace quarvel {
namespace {

using Events = std::vector<ScoreEvent>;

struct MergeCase {
    const char* name;
    const char* text;
    Events events;
};

// Each text compiles to the empty part 0 and one part with these events.
void checkAll(const std::vector<MergeCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.text);
        const ScoreImage image = compileScore(SourceText(c.text), Dialect::combined).image;
        EXPECT_EQ(image.parts.size(), 2u);
        EXPECT_EQ(partEvents(image, 1), c.events) << imageText(image);
    }
}

// clang-format off
TEST(EventMerger, VoicesAndEnvelopes) {
    checkAll({
        {"48 against 24 + 24", "Q1 V2 I2 3",
         {{24, {39, 41, 0, 0, 0}, {2, 2, 0, 0, 0}}, {24, {39, 42, 0, 0, 0}, {0, 2, 0, 0, 0}}}},
        {"equal notes join", "Q1 1",
         {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {39, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}}},
        {"a rest between equal notes", "Q1 $ 1",
         {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {0, 0, 0, 0, 0}, {2, 0, 0, 0, 0}},
          {48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"an articulation between equal notes", "Q1' 1",
         {{47, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {1, {0, 0, 0, 0, 0}, {2, 0, 0, 0, 0}},
          {48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"a level change does not re-attack", "Q1 L0 1 L1 2",
         {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {39, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
          {48, {41, 0, 0, 0, 0}, {86, 0, 0, 0, 0}}}},
        {"rest after rest; the first follows a note", "Q1 $ $",
         {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {0, 0, 0, 0, 0}, {2, 0, 0, 0, 0}},
          {48, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}}},
        {"a held note is read again in each event", "V3 H5 V5 I: 1 2 3 4 5 6",
         {{16, {0, 0, 46, 0, 39}, {0, 0, 2, 0, 2}}, {16, {0, 0, 46, 0, 41}, {0, 0, 0, 0, 2}},
          {16, {0, 0, 46, 0, 42}, {0, 0, 0, 0, 2}}, {16, {0, 0, 46, 0, 44}, {0, 0, 0, 0, 2}},
          {16, {0, 0, 46, 0, 46}, {0, 0, 0, 0, 2}}, {16, {0, 0, 46, 0, 48}, {0, 0, 0, 0, 2}}}},
        // "+5" with offset +2: index 28 = 49, sharp from the key 50, then +7.
        {"noise ignores transposition, offsets and accidentals", "K7# M >7 U+2 _Q5 5 +5",
         {{48, {78, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {78, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
          {48, {57, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"an empty bar writes nothing", "M M Q1 M M", {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}}});
}

TEST(EventMerger, PitchResolution) {
    const auto one = [](std::uint8_t note) { return Events{{1, {note, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}; };
    checkAll({
        {"degree 16, offset +15: index 52 -> 38", "U+F G", one(66)},
        {"index 41 sounds as 60", "U+5 F", one(60)},
        {"index 41 with a flat is 71", "U+5 F&", one(71)},
        {"index 0 is 1", "U6 -F", one(1)},
        {"index 0 with a flat folds to 12", "U-6 -F&", one(12)},
        {"index -9 folds to 5", "U-F -F", one(10)},
        {"transposition down", "<5 0", one(32)},
        {"transposition folds from 78", ">F F", one(66)},
        {"transposition folds from -3", "<F -F", one(9)},
        {"double sharp then double flat", "3## 3&&",
         {{1, {44, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {1, {40, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"offset per voice", "V2 U+1 V1 2 V2 2", {{1, {41, 42, 0, 0, 0}, {2, 2, 0, 0, 0}}}}});
}

TEST(EventMerger, AccidentalMemory) {
    checkAll({
        {"a sharp holds in every octave; a natural restores 0", "3# A 3% 3",
         {{1, {43, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {1, {55, 0, 0, 0, 0}, {2, 0, 0, 0, 0}},
          {1, {42, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {1, {42, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}}},
        {"the bar line refills from the key; natural is 0, not the key", "K1# M Q3 3% 3 M 3",
         {{48, {43, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {42, 0, 0, 0, 0}, {2, 0, 0, 0, 0}},
          {48, {42, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}, {48, {43, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"a key does not reach the bar it is written in", "Q3 K1# 3 M 3",
         {{48, {42, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {42, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
          {48, {43, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"shared row: voice 2's sharp re-attacks voice 1's held F", "H3 V2 Q3# 1",
         {{48, {42, 43, 0, 0, 0}, {2, 2, 0, 0, 0}}, {48, {43, 39, 0, 0, 0}, {2, 2, 0, 0, 0}}}},
        {"separate rows (option bit 0): voice 1's F stays", "O1 H3 V2 Q3# 1",
         {{48, {42, 43, 0, 0, 0}, {2, 2, 0, 0, 0}}, {48, {42, 39, 0, 0, 0}, {0, 2, 0, 0, 0}}}},
        {"within an event voices 1 to 5 in order", "Q3 V2 Q3# V3 Q3",
         {{48, {42, 43, 43, 0, 0}, {2, 2, 2, 0, 0}}}},
        {"separate rows within an event", "O1 Q3 V2 Q3# V3 Q3",
         {{48, {42, 43, 42, 0, 0}, {2, 2, 2, 0, 0}}}},
        {"a held accidental is written again in every event it spans", "H3# V2 Q3% 1 V3 Q$ 3",
         {{48, {43, 42, 0, 0, 0}, {2, 2, 0, 0, 0}}, {48, {43, 39, 43, 0, 0}, {0, 2, 2, 0, 0}}}},
        {"O2 keeps the memory over one bar line only", "Q3# O2 M 3 M 3",
         {{48, {43, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {43, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
          {48, {42, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}}});
}

TEST(EventMerger, SettingsAtTheMergeApplyToTheWholeBar) {
    checkAll({
        {"transposition after the last note", "Q1 2 >2 M 3",
         {{48, {41, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {43, 0, 0, 0, 0}, {2, 0, 0, 0, 0}},
          {48, {44, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"step offset after the last note", "Q1 2 U+1",
         {{48, {41, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {42, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"option bit 0 after the notes", "H3 V2 Q3# 1 O1",
         {{48, {42, 43, 0, 0, 0}, {2, 2, 0, 0, 0}}, {48, {42, 39, 0, 0, 0}, {0, 2, 0, 0, 0}}}},
        // Row 2 puts voice 1 on slot 2, voice 2 on slot 0; lastNote goes along.
        {"the slot map moves a voice with its lastNote", "Q1 V2 Q2 M Z2 Q1 V2 Q2",
         {{48, {39, 41, 0, 0, 0}, {2, 2, 0, 0, 0}}, {48, {41, 0, 39, 0, 0}, {0, 0, 0, 0, 0}}}},
        {"the slot map at the merge: row 9 puts voice 4 on slot 0", "V4 Q1 Z9",
         {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}},
        {"a bar starting on the previous bar's note", "Q1 M 1 2",
         {{48, {39, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}, {48, {39, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
          {48, {41, 0, 0, 0, 0}, {2, 0, 0, 0, 0}}}}});
}

// A voice that runs out mid-bar rests, and its envelope byte is the level that
// the queue storage holds at its end mark: written there by an earlier, longer
// bar, or 0 where no bar ever queued that far.
TEST(EventMerger, ExhaustedVoiceTakesTheLevelLeftAtItsEndMark) {
    checkAll({{"a long bar, then shorter ones",
        "W1 V2 L0 Q2 L1 3 L2 4 M "  // levels 92 86 80; the end mark's entry 3 never written
        "W1 V2 L5 Q5 M "            // one entry; the end mark's entry 1 holds 86
        "W1 V2 L6 Q6 6 M "          // two entries; entry 2 holds 80
        "W1 V2 L7 Q7 7 7 M "        // three entries; entry 3 still holds 0
        "W1",                       // nothing queued and lastNote 0: envelope 0
        {{48, {39, 41, 0, 0, 0}, {2, 92, 0, 0, 0}}, {48, {39, 42, 0, 0, 0}, {0, 86, 0, 0, 0}},
         {48, {39, 44, 0, 0, 0}, {0, 80, 0, 0, 0}}, {48, {39, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
         {48, {39, 46, 0, 0, 0}, {0, 62, 0, 0, 0}}, {144, {39, 0, 0, 0, 0}, {0, 86, 0, 0, 0}},
         {48, {39, 48, 0, 0, 0}, {0, 56, 0, 0, 0}}, {48, {39, 48, 0, 0, 0}, {0, 0, 0, 0, 0}},
         {96, {39, 0, 0, 0, 0}, {0, 80, 0, 0, 0}},  {48, {39, 49, 0, 0, 0}, {0, 50, 0, 0, 0}},
         {48, {39, 49, 0, 0, 0}, {0, 0, 0, 0, 0}},  {48, {39, 49, 0, 0, 0}, {0, 0, 0, 0, 0}},
         {48, {39, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},   {192, {39, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}}},
        // Bar 2 queues nothing for voice 2: its end mark is entry 0, still
        // holding bar 1's level 68, and its last note 41 is not the rest.
        {"a silent bar after a note", "V2 L4 Q2 M Q1",
         {{48, {0, 41, 0, 0, 0}, {0, 68, 0, 0, 0}}, {48, {39, 0, 0, 0, 0}, {2, 68, 0, 0, 0}}}}});
}
// clang-format on

TEST(EventMerger, ExhaustedVoiceLevelSurvivesPartsAndArticulationRests) {
    // Part 1: voice 3 queues a note and its rest piece (level 74 each), so
    // entry 1 holds 74. Part 2: voice 3 has one entry of level 2 and runs out
    // against voice 1's half note; its end mark is entry 1.
    const ScoreImage image =
        compileScore(SourceText("V3 L3 Q2, P H1 V3 LF Q4"), Dialect::combined).image;
    ASSERT_EQ(image.parts.size(), 3u) << imageText(image);
    EXPECT_EQ(partEvents(image, 1), (Events{{24, {0, 0, 41, 0, 0}, {0, 0, 74, 0, 0}},
                                            {24, {0, 0, 0, 0, 0}, {0, 0, 74, 0, 0}}}));
    EXPECT_EQ(partEvents(image, 2), (Events{{48, {39, 0, 44, 0, 0}, {2, 0, 2, 0, 0}},
                                            {48, {39, 0, 0, 0, 0}, {0, 0, 74, 0, 0}}}))
        << imageText(image);
}

TEST(EventMerger, MergeLeavesQueuesEmptyAndVoiceOne) {
    CompilerRun run("V4 Q1 2 V2 I3");
    ScoreCompiler& c = run.dispatchAll().compiler;
    c.mergeVoiceQueues();
    EXPECT_EQ(c.state.currentVoice, 0);
    for (const auto& queue : c.queues) EXPECT_EQ(queue.tail, 0u);
    EXPECT_EQ(c.image.events.size(), 1u + 3u) << imageText(c.image);  // part 0's end, 24+24+48
    c.mergeVoiceQueues();
    EXPECT_EQ(c.image.events.size(), 4u) << "a second merge finds nothing";
}

TEST(EventMerger, ResolvePitchDirectly) {
    struct Case {
        std::uint8_t code;
        std::int8_t offset, transpose;
        int note;
    };
    // clang-format off
    const Case cases[] = {
        {0x80, 0, 0, 37}, {0x00, 0, 0, 65}, {0x00, 15, 0, 66}, {0x0F, 5, 0, 60}, {0x4F, 5, 0, 71},
        {0x8F, -6, 0, 1}, {0xCF, -6, 0, 12}, {0x8F, -15, 0, 10}, {0x81, 0, -15, 21},
        {0xDF, 0, -15, 7}, {0x3F, 0, 15, 68}, {0x0F, 0, 15, 66}, {0x65, 5, 3, 78}, {0xE0, 0, 0, 73},
        {0xEF, -3, 9, 88}, {0x70, 4, 4, 0}, {0xF5, 0, 0, 0},
        {0x0E, 15, 15, 66}};  // index 50 -> 43 -> 36 = 63, + 15 = 78 -> 66
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << int(c.code) << " offset " << int(c.offset)
                                        << " transpose " << int(c.transpose));
        CompilerRun run("");
        run.compiler.state.voiceStepOffset[2] = c.offset;
        run.compiler.state.transpose = c.transpose;
        EXPECT_EQ(run.compiler.resolvePitch(2, c.code), c.note);
    }
}

TEST(EventMerger, ResolvePitchWritesTheMemoryRow) {
    CompilerRun run("");
    ScoreCompiler& c = run.compiler;
    CompilerState& s = c.state;
    c.resolvePitch(3, 0x23);  // F sharp, shared row
    EXPECT_EQ(s.accidentals[0][3], 1);
    EXPECT_EQ(s.accidentals[3][3], 0);
    EXPECT_EQ(c.resolvePitch(1, 0x0A), 55) << "every voice, every octave";
    c.resolvePitch(0, 0x52);  // E double flat
    EXPECT_EQ(s.accidentals[0][2], -2);
    s.optionFlags = 1;
    c.resolvePitch(3, 0x43);  // F flat, voice 4's own row
    EXPECT_EQ(s.accidentals[3][3], -1);
    EXPECT_EQ(s.accidentals[0][3], 1);
    EXPECT_EQ(c.resolvePitch(3, 0x03), 41);
    EXPECT_EQ(c.resolvePitch(2, 0x03), 42) << "voice 3's row was never written";
    c.resolvePitch(3, 0x13);
    c.resolvePitch(3, 0x63);  // noise and rests touch nothing
    c.resolvePitch(3, 0x70);
    EXPECT_EQ(s.accidentals[3], (std::array<std::int8_t, kScaleSteps>{}));
}

}  // namespace
}  // namespace quarvel
