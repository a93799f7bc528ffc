// Note tokens: what each token queues (duration, level, code), the
// articulation splits, and the tokens that end the run with error 2.
#include "compiler/note_tokens.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/image_text.h"

namespace quarvel {
namespace {

using Pieces = std::vector<std::pair<int, int>>;  // (duration, code) per entry

Pieces piecesOf(const std::vector<QueueEntry>& entries) {
    Pieces pieces;
    for (const auto& e : entries) pieces.emplace_back(e.duration, e.code);
    return pieces;
}

std::vector<int> codesOf(std::string_view text) {
    std::vector<int> codes;
    for (const auto& e : CompilerRun(text).dispatchAll().waiting(0)) codes.push_back(e.code);
    return codes;
}

TEST(NoteTokens, TokenToCode) {
    struct Case {
        const char* text;
        std::vector<int> codes;
    };
    // clang-format off
    const Case cases[] = {
        // Degree characters in the default note mode "*"; letters fold.
        {"0", {0x80}}, {"5", {0x05}}, {"9", {0x09}}, {"A", {0x0A}}, {"F", {0x0F}}, {"G", {0x00}},
        {"a", {0x0A}}, {"f", {0x0F}}, {"g", {0x00}}, {"C#", {0x2C}}, {"G%", {0x10}}, {"$", {0x70}},
        // A sign replaces the note mode for one token.
        {"-3&&", {0xD3}}, {"-F", {0x8F}}, {"+5", {0x05}}, {"+0", {0x80}}, {"-0", {0x80}},
        {"+G", {0x00}}, {"@5", {0x85}}, {"@0", {0x80}}, {"@+5", {0x05}}, {"@+G", {0x00}},
        {"@-3", {0x83}}, {"@3#", {0xA3}}, {"@3&", {0xC3}}, {"@5*5", {0x85, 0x05}},
        // Noise mode: "#" and "&" keep the noise class, the other sums make a rest.
        {"_5", {0x65}}, {"_0", {0xE0}}, {"_F", {0x6F}}, {"_5#", {0x65}}, {"_5&", {0x65}},
        {"_5%", {0x75}}, {"_5##", {0x75}}, {"_5&&", {0x75}}, {"_5#&", {0x75}}, {"_+5", {0x05}},
        {"_-3", {0x83}}, {"_-0", {0x80}}, {"_+G", {0x00}}, {"_$", {0x70}},
        // Every pair of accidental marks, summed.
        {"3#", {0x23}}, {"3%", {0x13}}, {"3&", {0x43}}, {"3##", {0x33}}, {"3#%", {0x23}},
        {"3#&", {0x13}}, {"3%#", {0x23}}, {"3%%", {0x13}}, {"3%&", {0x43}}, {"3&#", {0x13}},
        {"3&%", {0x43}}, {"3&&", {0x53}},
        // No blanks needed; a blank ends the accidental; line ends are invisible.
        {"3#A", {0x23, 0x0A}}, {"3# ", {0x23}}, {"-\r\n3", {0x83}}, {"3\r\n#", {0x23}},
        {"12345", {1, 2, 3, 4, 5}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(codesOf(c.text), c.codes);
    }
}

TEST(NoteTokens, EntryTakesDurationAndTheVoiceLevel) {
    CompilerRun ok("Q1 V3 L5 I: 2 V3 3 V1 4");
    ok.dispatchAll();
    const auto v1 = ok.waiting(0);
    const auto v3 = ok.waiting(2);
    ASSERT_EQ(v1.size(), 2u);
    EXPECT_EQ(v1[0].duration, 48);
    EXPECT_EQ(v1[0].level, 2);
    EXPECT_EQ(v1[1].duration, 16);
    EXPECT_EQ(v1[1].level, 2) << "L changed voice 3's level only";
    ASSERT_EQ(v3.size(), 2u);
    EXPECT_EQ(v3[0].duration, 16);
    EXPECT_EQ(v3[0].level, 62);
    EXPECT_EQ(v3[1].level, 62);
    EXPECT_TRUE(ok.waiting(1).empty());
}

TEST(NoteTokens, ArticulationSplits) {
    struct Case {
        const char* text;
        Pieces pieces;
    };
    // clang-format off
    const Case cases[] = {
        // A quarter note (48 ticks).
        {"Q3,", {{24, 0x03}, {24, 0x70}}}, {"Q3;", {{36, 0x03}, {12, 0x70}}},
        {"Q3'", {{47, 0x03}, {1, 0x70}}}, {"Q3\"", {{46, 0x03}, {2, 0x70}}},
        {"@Q3'", {{47, 0x83}, {1, 0x70}}}, {"Q3&&;", {{36, 0x53}, {12, 0x70}}},
        {"Q$,", {{24, 0x70}, {24, 0x70}}}, {"Q3\r\n'", {{47, 0x03}, {1, 0x70}}},
        // Noise mode: the quote marks keep a burst first; "," and ";" as usual.
        {"_Q3'", {{1, 0x63}, {47, 0x70}}}, {"_Q3\"", {{2, 0x63}, {46, 0x70}}},
        {"_Q3,", {{24, 0x63}, {24, 0x70}}}, {"_Q3;", {{36, 0x63}, {12, 0x70}}},
        // The rule follows the note mode, not the token's code.
        {"_Q+3'", {{1, 0x03}, {47, 0x70}}}, {"_Q$\"", {{2, 0x70}, {46, 0x70}}},
        {"@Q-3'", {{47, 0x83}, {1, 0x70}}},
        // Odd lengths: the note keeps the larger piece.
        {"T.3,", {{5, 0x03}, {4, 0x70}}}, {"T.3;", {{7, 0x03}, {2, 0x70}}},
        {"S3;", {{9, 0x03}, {3, 0x70}}},
        // Three ticks, then two.
        {"X3,", {{2, 0x03}, {1, 0x70}}}, {"X3;", {{3, 0x03}}}, {"X3\"", {{1, 0x03}, {2, 0x70}}},
        {"X3'", {{2, 0x03}, {1, 0x70}}}, {"_X3\"", {{2, 0x63}, {1, 0x70}}},
        {"_X3'", {{1, 0x63}, {2, 0x70}}}, {"X:3\"", {{2, 0x03}}}, {"X:3'", {{1, 0x03}, {1, 0x70}}},
        {"X:3,", {{1, 0x03}, {1, 0x70}}}, {"X:3;", {{2, 0x03}}}, {"_X:3\"", {{2, 0x63}}},
        // One tick, the length before any duration letter: nothing splits, the
        // mark is still taken.
        {"3,", {{1, 0x03}}}, {"3;", {{1, 0x03}}}, {"3'", {{1, 0x03}}}, {"3\"", {{1, 0x03}}},
        {"3'4", {{1, 0x03}, {1, 0x04}}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(piecesOf(CompilerRun(c.text).dispatchAll().waiting(0)), c.pieces);
    }
}

TEST(NoteTokens, RestPieceTakesTheVoiceLevel) {
    CompilerRun ok("V2 Q L4 3,");
    const auto entries = ok.dispatchAll().waiting(1);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, 68);
    EXPECT_EQ(entries[1].level, 68);
    EXPECT_EQ(entries[1].code, kRestCode);
}

TEST(NoteTokens, BadTokensEndTheRunWithErrorTwo) {
    // clang-format off
    const FaultCase cases[] = {
        {"!", 2, 1, 1}, {".", 2, 1, 1}, {":", 2, 1, 1}, {"?", 2, 1, 1}, {"[", 2, 1, 1},
        {"]", 2, 1, 1}, {"^", 2, 1, 1}, {"#", 2, 1, 1}, {"'", 2, 1, 1}, {"\x01", 2, 1, 1},
        {"\x80", 2, 1, 1}, {"\xFE", 2, 1, 1}, {"-G", 2, 1, 2}, {"@G", 2, 1, 2}, {"_G", 2, 1, 2},
        {"@-G", 2, 1, 3}, {"- 3", 2, 1, 2}, {"+\t3", 2, 1, 2},
        {"$#", 2, 1, 2},     // no accidental after a rest
        {"3###", 2, 1, 4},   // a third mark starts a new token
        {"3# #", 2, 1, 4},   // so does a mark after a blank
        {"3,,", 2, 1, 3}, {"3;'", 2, 1, 3},  // and a second articulation mark
        {"-", 2, 2, 0},      // the end of the text is no degree
        {"Q1\r\n  -G", 2, 2, 4}, {"Q1\n\n\n$%", 2, 4, 2}};
    // clang-format on
    for (const auto& c : cases) expectFault(c);
}

TEST(NoteTokens, QueueGrowsWithoutLimit) {
    // Far more than 255 entries, articulation rests included, wait for one merge.
    std::string text = "V4 I";
    for (int i = 0; i < 600; ++i) text += "1;";
    const auto entries = CompilerRun(text).dispatchAll().waiting(3);
    ASSERT_EQ(entries.size(), 1200u);
    EXPECT_EQ(entries[1198].duration, 18);
    EXPECT_EQ(entries[1199].duration, 6);
    EXPECT_EQ(entries[1199].code, kRestCode);
}

}  // namespace
}  // namespace quarvel
