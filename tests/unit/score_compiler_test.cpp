// The compile loop and the directives: each command's effect on the settings,
// the compiler state and the image; repeats, comments, bar lines, dialects;
// every compile error with its position; and scores with no size limit.
#include "compiler/score_compiler.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "support/image_text.h"

namespace quarvel {
namespace {

using Events = std::vector<ScoreEvent>;
using Key = std::array<std::int8_t, kScaleSteps>;  // C D E F G A B

CompiledScore compiled(std::string_view text, Dialect dialect = Dialect::combined) {
    return compileScore(SourceText(text), dialect);
}

// Note numbers of voice 1 (slot 0) over the events of part 1.
std::vector<int> melody(std::string_view text) {
    std::vector<int> notes;
    for (const auto& e : partEvents(compiled(text).image, 1)) notes.push_back(e.note[0]);
    return notes;
}

TEST(Repeats, PassesNestingAndStrayBrackets) {
    struct Case {
        const char* text;
        std::vector<int> notes;  // degree 1 -> 39, 2 -> 41, 3 -> 42, 4 -> 44
    };
    // clang-format off
    const Case cases[] = {
        {"(Q1)2", {39, 39, 39}}, {"(Q1)0", {39}},
        {"(Q1(Q2)1)1", {39, 41, 41}},       // the inner "(" replaced the outer one
        {")1Q1", {39}},                     // no "(": the digit is read, nothing happens
        {"(Q1)1 )3 2", {39, 39, 41}},       // nor after a finished repeat
        {"Q(1 2)1 3", {39, 41, 39, 41, 42}},
        {"(Q1M)1 2", {39, 41}},             // "M" swallows ")1": no repeat at all
        {"(Q1\r\n/ (2)9\r\n3)1", {39, 42, 39, 42}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(melody(c.text), c.notes);
    }
    // Every pass carries out the commands in the brackets again.
    EXPECT_EQ(partEvents(compiled("(L0 Q1 L1 I2)1").image, 1),
              (Events{{48, {39, 0, 0, 0, 0}, {92, 0, 0, 0, 0}},
                      {24, {41, 0, 0, 0, 0}, {86, 0, 0, 0, 0}},
                      {48, {39, 0, 0, 0, 0}, {92, 0, 0, 0, 0}},
                      {24, {41, 0, 0, 0, 0}, {86, 0, 0, 0, 0}}}));
}

TEST(Comments, RunToTheLineEnd) {
    EXPECT_EQ(melody("Q1 / 2 3 !!! ( )\r\n4"), (std::vector<int>{39, 44}));
    EXPECT_EQ(melody("Q1/no line end"), (std::vector<int>{39}));
    EXPECT_EQ(melody("Q1/\n2/x\r3"), (std::vector<int>{39, 41, 42}));
    EXPECT_EQ(melody(std::string_view("Q1/x\xFF!", 6)), (std::vector<int>{39}))
        << "a byte 0xFF stops the comment and the text";
}

// One field of the state or the settings after dispatching a text, before any
// closing merge.
using Field = int (*)(const ScoreCompiler&);
int transpose(const ScoreCompiler& c) {
    return c.state.transpose;
}
int tempo(const ScoreCompiler& c) {
    return c.settings.tempoIndex;
}
int duration(const ScoreCompiler& c) {
    return c.state.currentDuration;
}
int beat(const ScoreCompiler& c) {
    return c.settings.beatUnit;
}
int options(const ScoreCompiler& c) {
    return c.state.optionFlags;
}
int offset1(const ScoreCompiler& c) {
    return c.state.voiceStepOffset[0];
}
int voice(const ScoreCompiler& c) {
    return c.state.currentVoice;
}
int slotMap(const ScoreCompiler& c) {
    return c.state.slotMapIndex;
}
int level1(const ScoreCompiler& c) {
    return c.state.envelopeLevel[0];
}
int noteMode(const ScoreCompiler& c) {
    return c.state.noteMode;
}

TEST(Directives, StateAfterText) {
    struct Case {
        const char* text;
        Field field;
        int expected;
    };
    // clang-format off
    const Case cases[] = {
        // "<" and ">" set the transposition; none adds to it.
        {"<5", transpose, -5}, {">5", transpose, 5}, {"<5 >0", transpose, 0},
        {">3 <3", transpose, -3}, {"<F", transpose, -15}, {">f", transpose, 15},
        {"", tempo, 96}, {"=02", tempo, 1}, {"=03", tempo, 1}, {"=80", tempo, 64},
        {"=FF", tempo, 127}, {"=ff", tempo, 127},
        {"", duration, 1}, {"W", duration, 192}, {"H", duration, 96}, {"Q.", duration, 72},
        {"I:", duration, 16}, {"S..", duration, 21}, {"T:.", duration, 7}, {"X", duration, 3},
        {"Q\r\n.", duration, 72}, {"w:.", duration, 224},
        {"", beat, 2}, {"NH", beat, 1}, {"NQ", beat, 2}, {"NI", beat, 4}, {"NS", beat, 8},
        {"NT", beat, 16}, {"nt", beat, 16},
        {"O1", options, 1}, {"O1 O2", options, 3}, {"O3 O0", options, 0}, {"OF", options, 15},
        {"O4 O8", options, 12}, {"O0 O5", options, 5},
        // "U" without a sign means minus.
        {"U3", offset1, -3}, {"U-3", offset1, -3}, {"U+3", offset1, 3}, {"U+F", offset1, 15},
        {"UF", offset1, -15}, {"U0", offset1, 0}, {"U\r\n3", offset1, -3}, {"U+3 U3", offset1, -3},
        {"V1", voice, 0}, {"V5", voice, 4}, {"V3 Q1", voice, 2},
        {"Z9", slotMap, 9}, {"Z0", slotMap, 0}, {"Z3", slotMap, 3},
        {"L0", level1, 92}, {"LF", level1, 2}, {"L7", level1, 50}, {"V2 L0", level1, 2},
        {"@", noteMode, 0x80}, {"_", noteMode, 0x60}, {"@ _ *", noteMode, 0}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CompilerRun run(c.text);
        EXPECT_EQ(c.field(run.dispatchAll().compiler), c.expected);
    }
    CompilerRun run("V4 U+2 V2 U1 YA V5 YE V3 Yc");
    const ScoreCompiler& c = run.dispatchAll().compiler;
    EXPECT_EQ(c.state.voiceStepOffset, (std::array<std::int8_t, kVoices>{0, -1, 0, 2, 0}));
    EXPECT_EQ(c.settings.voiceInstrument, (std::array<std::uint8_t, kVoices>{3, 0, 2, 3, 4}));
    EXPECT_EQ(CompilerRun("YA").dispatchAll().compiler.settings.voiceInstrument[0], 0);
}

TEST(Directives, KeySignatures) {
    struct Case {
        const char* text;
        Key key;
    };
    // clang-format off
    const Case cases[] = {
        {"K3#", {1, 0, 0, 1, 1, 0, 0}}, {"K4#", {1, 1, 0, 1, 1, 0, 0}}, {"K7#", {1, 1, 1, 1, 1, 1, 1}},
        {"K2&", {0, 0, -1, 0, 0, 0, -1}}, {"K5&", {0, -1, -1, 0, -1, -1, -1}},
        {"K7&", {-1, -1, -1, -1, -1, -1, -1}}, {"K3#K0#", {}}, {"K3#K0&", {}},
        {"K3#K/#", {}}, {"K3#K!&", {}},  // a count below "0" clears and adds nothing
        {"k1#", {0, 0, 0, 1, 0, 0, 0}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CompilerRun run(c.text);
        const CompilerState& state = run.dispatchAll().compiler.state;
        EXPECT_EQ(state.keySignature, c.key);
        for (const auto& row : state.accidentals) EXPECT_EQ(row, Key{}) << "only a bar line";
    }
}

TEST(Directives, BarLineRefillsTheMemoryUnlessOptionTwo) {
    struct Case {
        const char* text;
        Key memory;
        int options;
    };
    const Key twoSharps{1, 0, 0, 1, 0, 0, 0};
    const Case cases[] = {{"V3 K2# M", twoSharps, 0},
                          {"K2# O3 M", {}, 1},  // kept; bit 1 cleared, bit 0 stays
                          {"K2# O2 M M", twoSharps, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CompilerRun run(c.text);
        const CompilerState& state = run.dispatchAll().compiler.state;
        for (const auto& row : state.accidentals) EXPECT_EQ(row, c.memory);
        EXPECT_EQ(state.optionFlags, c.options);
        EXPECT_EQ(state.currentVoice, 0) << "the bar line returns to voice 1";
    }
}

TEST(Directives, BarLineSkipsTheRestOfItsWord) {
    struct Case {
        std::string_view text;
        std::vector<int> notes;
    };
    const Case cases[] = {{"V3 M12 Q1", {39}},         // "12" ignored; the note is voice 1's
                          {"Q1 M12\tQ2 3", {39, 42}},  // a TAB does not end the skip
                          {"Q1 M!?#\r\n2", {39, 41}},  // a line end does
                          {"Q1 M@\n2", {39, 41}},
                          {"Q1 M+5", {39}},
                          {std::string_view("Q1 Mx\xFFQ2", 8), {39}}};  // and a byte 0xFF
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        EXPECT_EQ(melody(c.text), c.notes);
    }
}

TEST(Directives, InstrumentDefinitions) {
    const CompiledScore score = compiled("JARFEDCBA987 JeS012345678 JBS111111111 JBR222222222");
    EXPECT_EQ(score.instruments[0], (Instrument{0, {15, 14, 13, 12, 11, 10, 9, 8}, 7}));
    EXPECT_EQ(score.instruments[4], (Instrument{1, {0, 1, 2, 3, 4, 5, 6, 7}, 8}));
    EXPECT_EQ(score.instruments[1], (Instrument{0, {2, 2, 2, 2, 2, 2, 2, 2}, 2}))
        << "the last definition of a letter counts";
    EXPECT_EQ(score.instruments[2], kDefaultInstruments[2]);
    EXPECT_EQ(score.instruments[3], kDefaultInstruments[3]);
    // "T" sets the decay rate whatever the letter; the part header records it.
    EXPECT_EQ(compiled("JET5").image.parts.back().decayRate, 5);
    EXPECT_EQ(compiled("JAT5 JAT0").image.parts.back().decayRate, 0);
}

TEST(Dialects, QuarvelIgnoresDecayAndLevelsButChecksThem) {
    const CompiledScore score = compiled("JAT5 LF V2 L0 JAR111111111 Q1", Dialect::quarvel);
    EXPECT_EQ(score.image.parts.back().decayRate, 0);
    EXPECT_EQ(score.envelopeLevel, (std::array<std::uint8_t, kVoices>{2, 2, 2, 2, 2}));
    EXPECT_EQ(score.instruments[0], (Instrument{0, {1, 1, 1, 1, 1, 1, 1, 1}, 1}))
        << "R and S still define instruments";
    EXPECT_EQ(partEvents(score.image, 1)[0].envelope[1], 2);
    for (const FaultCase& f : {FaultCase{"JATG", 2, 1, 4}, FaultCase{"JFT5", 3, 1, 2},
                               FaultCase{"LG", 2, 1, 2}, FaultCase{"JAX", 3, 1, 3}}) {
        expectFault(f, Dialect::quarvel);
    }
}

TEST(Dialects, LuteraStartsWithDecaySix) {
    const CompiledScore lutera = compiled("Q1 P JAT2", Dialect::lutera);
    ASSERT_EQ(lutera.image.parts.size(), 3u);
    EXPECT_EQ(lutera.image.parts[0].decayRate, 6);
    EXPECT_EQ(lutera.image.parts[1].decayRate, 6);
    EXPECT_EQ(lutera.image.parts[2].decayRate, 2);
    EXPECT_EQ(compiled("L0 Q1", Dialect::lutera).envelopeLevel[0], 92);
    EXPECT_EQ(compiled("Q1").image.parts[0].decayRate, 0);
}

TEST(CompileLoop, LowerCaseCompilesTheSame) {
    const std::string upper = "V2 L3 Q1#, M12 =A0 NI JBT4 YC K2& O1 U+2 Z3 (C&;)1 P0A _5 R0A";
    std::string lower;
    for (char ch : upper) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(imageText(compiled(lower).image), imageText(compiled(upper).image));
}

TEST(CompileLoop, EmptyAndBlankTexts) {
    for (const char* text : {"", "  \t\r\n", "/ nothing", "MMM"}) {
        SCOPED_TRACE(text);
        const ScoreImage image = compiled(text).image;
        ASSERT_EQ(image.parts.size(), 2u);
        EXPECT_EQ(image.parts[1].events, 1u);
        EXPECT_EQ(image.events.size(), 2u) << "part 0's end, then the empty last part's end";
    }
}

// Random texts over the language's characters either compile into a
// well-formed image or stop with a known error inside the text.
TEST(CompileLoop, RandomTextsCompileOrFailCleanly) {
    const std::string alphabet =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ$+-#%&'\",;:.()*@_/<=> \t\r\n\x01\x80\xFF";
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1), length(0, 40);
    int compiledCount = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (std::size_t n = length(random); n > 0; --n) text += alphabet[pick(random)];
        SCOPED_TRACE(testing::PrintToString(text));
        try {
            const ScoreImage image = compiled(text).image;
            ++compiledCount;
            ASSERT_GE(image.parts.size(), 2u);
            EXPECT_EQ(image.parts[0].events, 0u);
            for (const auto& part : image.parts) {
                std::size_t end = part.events;  // every part's events reach a terminator
                while (end < image.events.size() && image.events[end].duration != 0) ++end;
                EXPECT_LT(end, image.events.size());
            }
            EXPECT_EQ(image.events.back().duration, 0);
            for (const auto& e : image.events) {
                EXPECT_LE(e.duration, 224);
                for (auto n : e.note) EXPECT_TRUE(n <= 71 || (n >= 73 && n <= 88)) << int(n);
            }
        } catch (const CompileError& error) {
            EXPECT_TRUE(error.number == 2 || error.number == 3 || error.number == 4 ||
                        error.number == 6);
            EXPECT_GE(error.line, 1);
            EXPECT_GE(error.column, 0);
            EXPECT_LE(error.lineStart, text.size() + 2);
        }
    }
    EXPECT_GT(compiledCount, 100) << "the sweep should reach the compiled path too";
}

TEST(CompileErrors, NumberLineAndColumn) {
    // clang-format off
    const FaultCase cases[] = {
        // 2: bad digits and bad note characters.
        {"Q1 !", 2, 1, 4}, {"\r\n\r\n  #", 2, 3, 3}, {")G", 2, 1, 2}, {"(Q1)", 2, 2, 0},
        {"<G", 2, 1, 2}, {">", 2, 2, 0}, {"=1G", 2, 1, 3}, {"=0", 2, 2, 0}, {"JAS1234", 2, 2, 0},
        {"JAR12345678G", 2, 1, 12}, {"JAT", 2, 2, 0}, {"LG", 2, 1, 2}, {"OG", 2, 1, 2},
        {"U+G", 2, 1, 3}, {"U-", 2, 2, 0}, {"VG", 2, 1, 2}, {"ZG", 2, 1, 2}, {"V\xFF", 2, 1, 2},
        {"PV2", 2, 1, 2}, {"Q::1", 2, 1, 3},
        {"U", 2, 3, 0},  // "U" gives the end back: the appended LF is counted again
        // 3: arguments out of range.
        {"=01", 3, 1, 3}, {"=00", 3, 1, 3}, {"JF", 3, 1, 2}, {"J1R", 3, 1, 2}, {"JAQ", 3, 1, 3},
        {"K8#", 3, 1, 2}, {"K:#", 3, 1, 2}, {"K3Q", 3, 1, 3}, {"K3", 3, 2, 0}, {"K/X", 3, 1, 3},
        {"NW", 3, 1, 2}, {"NX", 3, 1, 2}, {"N1", 3, 1, 2}, {"V0", 3, 1, 2}, {"V6", 3, 1, 2},
        {"VA", 3, 1, 2}, {"VF", 3, 1, 2}, {"YF", 3, 1, 2}, {"Y1", 3, 1, 2}, {"ZA", 3, 1, 2},
        {"Q1\r\n\r\n/ comment\r\nV9", 3, 4, 2}, {"\n\r\n\rV9", 3, 3, 2}, {"\r\r\nV9", 3, 3, 2},
        // 4: part numbers.
        {"P05 P05", 4, 1, 7}, {"R00", 4, 1, 3}, {"R07 P07", 4, 1, 3},
        // 6: durations over 255 ticks, reported after the suffix.
        {"W.1", 6, 1, 3}, {"W:..1", 6, 1, 5}, {"Q1 W..", 6, 2, 0},
        {"W.\r\n  1", 6, 2, 1},  // the blank that starts the next line
        // Repeats restore the line counters: errors are on the text's own line.
        {"(Q1\r\nQ2\r\n)1 !", 2, 3, 4}, {"(Q1\r\nQ2\r\n)2\r\nV0", 3, 4, 2},
        {"Q(\r\n1\r\n)3 V7", 3, 3, 5}};
    // clang-format on
    for (const auto& c : cases) expectFault(c);
}

// For people an error points at the place of the fault, never past the
// file's last line, and its message names the command that wanted more.
TEST(CompileErrors, PlaceForPeopleAndTheCommandNamed) {
    struct Case {
        const char* text;
        std::int64_t line, column;  // CompileError::where
        const char* inMessage;
    };
    // clang-format off
    const Case cases[] = {
        {"=4", 1, 3, "the tempo `=` takes two hexadecimal digits"},
        {"Q1\r\n=4\r\n\r\n", 2, 3, "found the end of the text"},
        {"Q1\n\rK3\n", 2, 3, "the key signature `K` takes `#` or `&`"},
        {"U", 1, 2, "the step offset `U`"},
        {"", 1, 1, ""},
        {"JAR1234\n", 1, 8, "the instrument definition `JAR` takes nine hexadecimal digits"},
        {"P05 P05", 1, 7, "part 05 is already closed"},
        {"Q1 V6", 1, 5, "`V` takes a voice 1 to 5; found `6`"},
        {"VG", 1, 2, "`V` takes a voice 1 to 5; found `G`"},
        {"ZA", 1, 2, "the slot map `Z` takes a digit 0 to 9; found `A`"},
        {"NW", 1, 2, "the beat unit `N`"},
        {"JAQ", 1, 3, "R, S or T after the letter; found `Q`"},
        {"YF", 1, 2, "the instrument choice `Y`"},
        {")G", 1, 2, "the repeat end `)`"},
        {"R07", 1, 3, "the replay `R`"},
        {"W.\r\n  1", 1, 1, "the duration `W.` is 288 ticks"},  // at its letter
        {"Q1 W..", 1, 4, "`W..`"},
        {"(Q1\r\nQ2\r\n)1 !", 3, 4, "not a note"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        try {
            compiled(c.text);
            if (*c.text != '\0') ADD_FAILURE() << "no fault raised";
        } catch (const CompileError& error) {
            EXPECT_EQ(error.where.line, c.line);
            EXPECT_EQ(error.where.column, c.column);
            EXPECT_NE(error.what.find(c.inMessage), std::string::npos) << error.what;
        }
    }
}

TEST(Capacity, TwoThousandNotesWithoutABarLine) {
    std::string text = "I";
    for (int i = 0; i < 2000; ++i) text += (i % 2 == 0) ? "1" : "2";
    text += " V2 W";
    for (int i = 0; i < 250; ++i) text += "3";
    const ScoreImage image = compiled(text).image;
    const Events events = partEvents(image, 1);
    ASSERT_EQ(events.size(), 2000u);
    EXPECT_EQ(events[0], (ScoreEvent{24, {39, 42, 0, 0, 0}, {2, 2, 0, 0, 0}}));
    EXPECT_EQ(events[1], (ScoreEvent{24, {41, 42, 0, 0, 0}, {2, 0, 0, 0, 0}}));
    EXPECT_EQ(events[8], (ScoreEvent{24, {39, 42, 0, 0, 0}, {2, 0, 0, 0, 0}}));
    EXPECT_EQ(events[1999], (ScoreEvent{24, {41, 42, 0, 0, 0}, {2, 0, 0, 0, 0}}));
    EXPECT_EQ(image.events.size(), 2002u);
}

TEST(Capacity, AFewMegabytesCompile) {
    // 40000 lines of four bars (4 + 5 + 8 + 3 events), a part command before
    // every hundredth line: about 2.7 MB of text, 400 parts, 800000 events.
    const std::string line =
        "V1 I1 2 3 4 V2 Q5& 6# M1 I7 6 5 4 V3 H.$ M2 S1234 5678 M3 X1, 1 M4\r\n";
    std::string text;
    text.reserve(line.size() * 40000 + 2000);
    for (int i = 0; i < 40000; ++i) {
        if (i > 0 && i % 100 == 0) text += "P\r\n";
        text += line;
    }
    ASSERT_GT(text.size(), 2'500'000u);
    const ScoreImage image = compiled(text).image;
    ASSERT_EQ(image.parts.size(), 1u + 400u);
    EXPECT_EQ(image.events.size(), 40000u * 20u + 1u + 400u);
    EXPECT_EQ(partEvents(image, 1).size(), 100u * 20u);
    EXPECT_EQ(partEvents(image, 400).size(), 100u * 20u);
    EXPECT_EQ(image.parts[400].events, image.events.size() - 1 - 2000);
}

}  // namespace
}  // namespace quarvel
