// Warnings: each fires on its trap, at the trap's place, and stays silent on
// the right way of writing the same music; a repeated passage warns once; the
// switches that choose the printed ones.
#include "compiler/warnings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "quarvel.h"

namespace quarvel {
namespace {

CompiledScore compiled(std::string_view text) {
    return compileScore(SourceText(text), Dialect::combined);
}

std::vector<const Warning*> named(const CompiledScore& score, std::string_view name) {
    std::vector<const Warning*> found;
    for (const auto& w : score.warnings) {
        if (w.name == name) found.push_back(&w);
    }
    return found;
}

TEST(Warnings, EachFiresOnItsTrapAndNotOnTheRightWay) {
    struct Case {
        const char* name;
        const char* trap;
        std::int64_t line, column;  // where the trap's warning points
        const char* inMessage;      // a piece of its message
        const char* right;          // the same music written as meant
    };
    // clang-format off
    const Case cases[] = {
        {"bar-length", "V1 Q 1 2 3 4 V2 H 1 M", 1, 21, "voice 2 has 96 ticks (a half note)",
         "V1 Q 1 2 3 4 V2 H 1 $ M"},
        {"bar-length", "V1 H 1 1\nV2 H 1", 1, 6, "voice 1 has 192 ticks (a whole note)",
         "V1 H 1 1\nV2 W 1"},
        {"shared-note-mode", "Q V1 1 2 V2 @ 7 M 1 2", 1, 19, "set for voice 2 at line 1:13",
         "Q V1 1 2 V2 @ 7 * M 1 2"},
        {"shared-note-mode", "Q V1 1 V2 _ 4 M 1", 1, 17, "noise", "Q V1 1 V2 _ 4 * M 1"},
        {"shared-duration", "V1 Q 1 V2 I 3 3 M 5 V2 3 3", 1, 19, "24 ticks (an eighth note)",
         "V1 Q 1 V2 I 3 3 M Q 5 V2 I 3 3"},
        {"shared-accidental", "Q V1 3# 3 V2 H 3", 1, 16, "this F of voice 2 sounds sharp",
         "O1 Q V1 3# 3 V2 H 3"},
        {"key-before-bar", "K1# Q 3 M", 1, 1, "next bar line", "K1# M Q 3 M"},
        {"notes-after-replay", "P01 Q 1 M R01 Q 2 M", 1, 17, "never heard",
         "P01 Q 1 M R01 P Q 2 M"},
        {"repeat", "(Q 1 2 M", 1, 1, "never closed", "(Q 1 2 M )1"},
        {"repeat", ")1 Q 1", 1, 1, "no `(`", "(Q 1)1"},
        {"repeat", "(Q 1 (2 M )1", 1, 6, "do not nest", "(Q 1)1 (2 M )1"},
        {"pitch-fold", "Q U+7 G", 1, 7, "would be E7, outside the range C1 to A#6: it sounds as "
         "E6, an octave lower", "Q U+7 5"},
        {"pitch-fold", "Q U-7 -F", 1, 7, "would be B0", "Q U-7 -B"},
        {"redefinition", "Q 1 =80 2", 1, 5, "the tempo `=`", "=80 Q 1 2"},
        {"redefinition", "Q 1 NH 2", 1, 5, "the beat unit `N`", "NH Q 1 2"},
        {"redefinition", "Q 1 JAT4 2", 1, 5, "the decay rate", "JAT4 Q 1 2"},
        {"redefinition", "JAS123456789 Q 1 JAS987654321 2", 1, 18, "instrument A is defined again",
         "JAS123456789 JBS987654321 Q 1 P YB 2"},
        {"redefinition", "YA Q 1 YB 2", 1, 8, "voice 1's instrument", "YA Q 1 P YB 2"},
        {"no-duration", "1 2", 1, 1, "lasts 1 tick", "Q 1 2"},
        {"glued-bar-line", "Q 1 M/ 2", 1, 6, "skips `/`", "Q 1 M12 2"},
        {"glued-bar-line", "(Q 1 M)1", 1, 7, "skips `)1`", "(Q 1 M )1"},
        // Voice 1 back in its own mode after another voice's `*`: no second warning.
        {"shared-note-mode", "Q V1 1 2 V2 _ 4 M 1 2 V2 4 * M 1 2", 1, 19, "write `*`",
         "Q V1 1 2 V2 _ 4 * M 1 2 V2 _ 4 * M 1 2"},
        {"repeated-note", "Q 5 I 5 M", 1, 7, "`5` right before it (at line 1:3), and two equal "
         "notes in a row in one voice sound as one note, here of 72 ticks (a dotted quarter "
         "note); for two attacks write `5'`", "Q 5' I 5 M"},
        {"repeated-note", "_ Q 1 1 * M", 1, 7, "`1'` (a burst of one tick, then a rest)",
         "_ Q 1' 1 * M"},
        {"repeated-note", "V2 I 3# $ 3# 3 M", 1, 14, "`3#'`", "V2 I 3# $ 3# 4 M"},
        // Five eighths have no letter of their own: tied as equal notes, silently.
        {"repeated-note", "Q 5 5 M", 1, 5, "here of 96 ticks (a half note)", "H 5 I 5 M"},
        {"tie-across-bar", "Q 1 2 3 4 M\n4 5 M", 2, 1, "`4` (at line 1:9) that ends the bar "
         "before, going on over the bar line, so the two sound as one note of 96 ticks",
         "Q 1 2 3 4' M\n4 5 M"},
        {"glued-argument", "=120 Q 1", 1, 1, "`=120` is read as the tempo `=12` followed by `0`",
         "=78 Q 1"},
        {"end-of-text-byte", "Q 1 / caf\xff\nQ 2", 1, 10, "the 4 bytes after it",
         "Q 1 / cafe\nQ 2"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.trap);
        const CompiledScore trap = compiled(c.trap);
        const auto found = named(trap, c.name);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0]->where.line, c.line);
        EXPECT_EQ(found[0]->where.column, c.column);
        EXPECT_NE(found[0]->message.find(c.inMessage), std::string::npos) << found[0]->message;
        // Messages are plain text, whatever bytes the score holds.
        for (const char ch : found[0]->message) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << int(ch);
        EXPECT_TRUE(named(compiled(c.right), c.name).empty()) << c.right;
    }
}

TEST(Warnings, TheWayScoresAreUsuallyWrittenIsQuiet) {
    // Shared settings that do what they seem to: one duration for all voices,
    // a note mode set for every voice, step 0 in either mode, the same
    // accidental in two voices, a key at the top, part settings at a part's
    // start, bar numbers after M.
    for (const char* text : {"Q V1 1 2 V2 3 4 M", "Q @ V1 5 V2 7 M", "Q V2 @ 7 M V1 0' 0",
                             "Q V1 3#' 3 V2 H 3# M", "K1# M Q 3 M", "Q 1 P =80 NH JAT3 2",
                             "Q 1 M1 2 M22", "V1 Q 1' 1 V2 H 1 M", "P01 Q 1 R01 P02 Q 2"}) {
        SCOPED_TRACE(text);
        const CompiledScore score = compiled(text);
        for (const auto& w : score.warnings) ADD_FAILURE() << w.name << ": " << w.message;
    }
}

TEST(Warnings, SharedAccidentalOnceAVoiceAndBar) {
    const CompiledScore score = compiled("Q V1 3# V2 I 3 4 3 S 3 3' M 3 M V1 3# V2 3 M");
    const auto found = named(score, "shared-accidental");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->where.column, 14);
    EXPECT_NE(found[0]->message.find("; 3 more notes of voice 2 in this bar take another"),
              std::string::npos)
        << found[0]->message;
    EXPECT_EQ(found[1]->message.find("more note"), std::string::npos) << found[1]->message;
    EXPECT_TRUE(named(compiled("O1 Q V1 3# V2 I 3 4 3 M"), "shared-accidental").empty());
}

TEST(Warnings, EveryNoteOfAJoinedRunHearsTheWholeLength) {
    // Three equal eighths, then a quarter across the bar line.
    const CompiledScore score = compiled("I 1 1 1 Q 2 M 2 3");
    const auto inBar = named(score, "repeated-note");
    ASSERT_EQ(inBar.size(), 2u);
    for (const Warning* w : inBar) {
        EXPECT_NE(w->message.find("here of 72 ticks"), std::string::npos) << w->message;
    }
    EXPECT_NE(inBar[1]->message.find("(at line 1:5)"), std::string::npos) << inBar[1]->message;
    const auto across = named(score, "tie-across-bar");
    ASSERT_EQ(across.size(), 1u);
    EXPECT_NE(across[0]->message.find("one note of 96 ticks"), std::string::npos);
    // Only what is asked for is looked for.
    const CompiledScore quiet = compileScore(SourceText("Q I 1 1 =120 1 M 1 caf\xff"),
                                             Dialect::combined, CompileOptions{.warnings = {}});
    for (const char* name :
         {"repeated-note", "tie-across-bar", "glued-argument", "end-of-text-byte"}) {
        EXPECT_TRUE(named(quiet, name).empty()) << name;
        EXPECT_FALSE(named(compiled("Q I 1 1 =120 1 M 1 caf\xff"), name).empty()) << name;
    }
}

// The remedy "one longer value" is weighed within the bar: a run going on
// over a bar line can only be tied there, and no letter gives more than 255
// ticks.
TEST(Warnings, ARepeatedNoteWeighsWhatOneLetterCouldWriteInItsBar) {
    struct Case {
        const char* text;
        std::size_t repeated;
    };
    const Case cases[] = {
        {"Q 0 X: 0 M Q..... 0 M", 0},  // 50 ticks in bar 1, though 144 in all
        {"Q 5 Q 5 M I 5 M", 1},        // a half note in bar 1, though 120 in all
        {"H 5 Q 5 M 5 M", 1},          // a dotted half in bar 1
        {"W 5 H 5 M", 0},              // 288 ticks: `W.` is longer than a letter may be
        {"H 5 H 5 M", 1},              // 192: `W`
        {"Q 1 M Q 1 I 1 M", 1},        // the run's second bar alone: a dotted quarter
        {"Q 1 M Q 1 X: 1 M", 0},       // ... 50 ticks
    };
    for (const Case& c : cases) {
        EXPECT_EQ(named(compiled(c.text), "repeated-note").size(), c.repeated) << c.text;
    }
}

TEST(Warnings, ARepeatedPassageWarnsOnce) {
    const CompiledScore score = compiled("(Q U+7 G M )3 ( 1 M");
    EXPECT_EQ(named(score, "pitch-fold").size(), 1u);
    EXPECT_EQ(named(score, "repeat").size(), 1u) << "the second repeat never closes";
}

TEST(Warnings, AtMostAFixedNumberOfEachKindAreKept) {
    std::string text = "Q U+7";
    for (std::size_t i = 0; i < kWarningsKept + 50; ++i) text += " G 5";
    const CompiledScore score = compiled(text);
    EXPECT_EQ(named(score, "pitch-fold").size(), kWarningsKept);
    EXPECT_TRUE(score.warningsCut[static_cast<std::size_t>(WarningKind::pitchFold)]);
    EXPECT_FALSE(score.warningsCut[static_cast<std::size_t>(WarningKind::barLength)]);
}

TEST(Warnings, ThoseBeforeACompileErrorComeWithIt) {
    try {
        compiled("Q 1 M/ comment");
        ADD_FAILURE() << "no error";
    } catch (const CompileError& error) {
        ASSERT_EQ(error.warnings.size(), 1u);
        EXPECT_EQ(error.warnings[0].name, "glued-bar-line");
    }
}

TEST(Warnings, AByte0xFFEndsTheTextAndSaysSo) {
    // A field cut off by it: the error names the byte.
    try {
        compiled(
            "Q 1 =4\xff"
            "0 2");
        ADD_FAILURE() << "no error";
    } catch (const CompileError& error) {
        EXPECT_NE(error.what.find("found the end of the text (a byte 0xFF in the file"),
                  std::string::npos)
            << error.what;
    }
    // Between tokens: the notes before it are the score, with the warning.
    const CompiledScore score = compiled("Q 1 2 \xff 3 V9");
    EXPECT_EQ(named(score, "end-of-text-byte").size(), 1u);
    EXPECT_EQ(score.sourceMap.bars.size(), 1u);
    EXPECT_EQ(score.sourceMap.bars[0].ticks, 96u);
}

TEST(Warnings, StartPartThatNoPartHas) {
    const CompiledScore score = compiled("P01 Q 1 P03 Q 2 R01");
    EXPECT_FALSE(startPartWarning(score, 0));
    EXPECT_FALSE(startPartWarning(score, 3));
    const auto missing = startPartWarning(score, 2);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->name, "start-part");
    EXPECT_EQ(missing->where.line, 0);
    EXPECT_NE(missing->message.find("the numbered parts are 01, 03"), std::string::npos)
        << missing->message;
}

TEST(WarningSwitches, AppliedInOrder) {
    struct Case {
        std::vector<std::pair<const char*, bool>> switches;
        std::vector<const char*> on, off;
    };
    const Case cases[] = {
        {{},
         {"bar-length", "pitch-fold", "shared-accidental", "repeated-note"},
         {"shared-duration", "tie-across-bar"}},
        {{{"all", true}}, {"shared-duration", "shared-accidental", "bar-length"}, {}},
        {{{"all", false}, {"pitch-fold,repeat", true}}, {"pitch-fold", "repeat"}, {"bar-length"}},
        {{{"all", true}, {"bar-length", false}}, {"shared-duration"}, {"bar-length"}},
        {{{"shared-duration", true}, {"all", false}}, {}, {"shared-duration", "start-part"}},
    };
    for (const auto& c : cases) {
        WarningSet set = defaultWarnings();
        for (const auto& [names, on] : c.switches) EXPECT_FALSE(applyWarningSwitch(set, names, on));
        for (const char* name : c.on) EXPECT_TRUE(set[std::size_t(*warningNamed(name))]) << name;
        for (const char* name : c.off) EXPECT_FALSE(set[std::size_t(*warningNamed(name))]) << name;
    }
    WarningSet set = defaultWarnings();
    EXPECT_EQ(applyWarningSwitch(set, "pitch-fold,no-such", false), "no-such");
    EXPECT_EQ(set, defaultWarnings()) << "an unknown name changes nothing";
    EXPECT_EQ(applyWarningSwitch(set, "", true), "");
}

TEST(WarningsThroughTheCApi, EveryWarningWithItsNameAndPlace) {
    const std::string text = "Q V1 3# 4 V2 H 3 M\nQ U+7 G M\nQ 5 M 5";
    quarvel_diagnostic error;
    quarvel_score* score = quarvel_compile(text.data(), text.size(), 0, &error);
    ASSERT_NE(score, nullptr);
    // tie-across-bar is off by default in the program, reported here all the same.
    ASSERT_EQ(quarvel_score_warning_count(score), 3);
    quarvel_diagnostic w;
    const char* name = nullptr;
    ASSERT_EQ(quarvel_score_warning(score, 0, &w, &name), QUARVEL_OK);
    EXPECT_STREQ(name, "shared-accidental");
    EXPECT_EQ((std::pair{w.number, w.line}), (std::pair{0, 1}));
    EXPECT_EQ(w.column, 16);
    ASSERT_EQ(quarvel_score_warning(score, 1, &w, nullptr), QUARVEL_OK);
    EXPECT_EQ((std::pair{w.line, w.column}), (std::pair{2, 7}));
    ASSERT_EQ(quarvel_score_warning(score, 2, &w, &name), QUARVEL_OK);
    EXPECT_STREQ(name, "tie-across-bar");
    EXPECT_EQ((std::pair{w.line, w.column}), (std::pair{3, 7}));
    EXPECT_EQ(quarvel_score_warning(score, 3, &w, &name), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_score_warning(score, -1, &w, &name), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_score_warning(score, 0, nullptr, &name), QUARVEL_EINVAL);
    EXPECT_EQ(quarvel_score_start_part_warning(score, 0, &w), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_score_start_part_warning(score, 7, &w), QUARVEL_OK);
    EXPECT_NE(std::string(w.message).find("no part is numbered 07"), std::string::npos);
    quarvel_score_free(score);
    EXPECT_EQ(quarvel_score_warning_count(nullptr), 0);
    // What the program prints by default, for front ends that show the same.
    for (const auto& info : warningCatalogue()) {
        EXPECT_EQ(quarvel_warning_on_by_default(std::string(info.name).c_str()),
                  info.onByDefault ? 1 : 0);
    }
    EXPECT_EQ(quarvel_warning_on_by_default("tie-across-bar"), 0);
    EXPECT_EQ(quarvel_warning_on_by_default("repeated-note"), 1);
    EXPECT_EQ(quarvel_warning_on_by_default("no-such"), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_warning_on_by_default(nullptr), QUARVEL_EINVAL);

    // An error cut off by the end of the text: the C API gives the numbers of
    // the play-mode line (past the last line, as the reader stood), so that
    // every front end agrees with the program; the diagnostics on standard
    // error and in --json point into the file instead.
    const std::string cut = "Q1\r\n=4\r\n\r\n";
    EXPECT_EQ(quarvel_compile(cut.data(), cut.size(), 0, &error), nullptr);
    EXPECT_EQ((std::pair{error.line, error.column}), (std::pair{5, 0}));
}

}  // namespace
}  // namespace quarvel
