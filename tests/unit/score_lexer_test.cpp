// The editor's lexer: the pieces of a score text and the colours of their
// characters, read as the compiler reads (letters folded, line ends passed
// over inside a piece).
#include "lsp/score_lexer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarvel::lsp {
namespace {

std::string kindName(LexKind kind) {
    switch (kind) {
        case LexKind::note:
            return "note";
        case LexKind::rest:
            return "rest";
        case LexKind::duration:
            return "duration";
        case LexKind::command:
            return "command";
        case LexKind::barLine:
            return "bar";
        case LexKind::barText:
            return "barText";
        case LexKind::comment:
            return "comment";
        case LexKind::repeatOpen:
            return "(";
        case LexKind::repeatClose:
            return ")";
        case LexKind::noteMode:
            return "mode";
        case LexKind::invalid:
            return "invalid";
    }
    return "?";
}

// "kind letter argument first-last" per lexeme.
std::vector<std::string> describe(const LexedScore& lexed) {
    std::vector<std::string> out;
    for (const Lexeme& l : lexed.lexemes) {
        out.push_back(kindName(l.kind) + " " + std::string(1, l.letter) + " " + l.argument + " " +
                      std::to_string(l.first) + "-" + std::to_string(l.last));
    }
    return out;
}

TEST(ScoreLexer, DurationLettersAndWhatFollowsThem) {
    struct Case {
        std::string text;
        std::vector<std::string> lexemes;
    };
    const Case cases[] = {
        {"W H Q I S T X",
         {"duration W  0-0", "duration H  2-2", "duration Q  4-4", "duration I  6-6",
          "duration S  8-8", "duration T  10-10", "duration X  12-12"}},
        // Folded, with the tie mark and dots, also across a line end.
        {"q: i. s:.. x\n.",
         {"duration Q : 0-1", "duration I . 3-4", "duration S :.. 6-9", "duration X . 11-13"}},
        // The other letters are no durations.
        {"V1 Q 1 M K1# N",
         {"command V 1 0-1", "duration Q  3-3", "note 1  5-5", "bar M  7-7", "command K 1# 9-11",
          "command N  13-13"}},
        // A dot after a note is not the note's.
        {"Q1.", {"duration Q  0-0", "note 1  1-1", "invalid .  2-2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(describe(lexScore(c.text)), c.lexemes);
    }
}

TEST(ScoreLexer, DurationsAreColouredAsDurations) {
    const LexedScore lexed = lexScore("Q:. 1 h");
    ASSERT_EQ(lexed.runs.size(), 3u);
    EXPECT_EQ(lexed.runs[0].cls, CharClass::duration);
    EXPECT_EQ(lexed.runs[0].length, 3u);
    EXPECT_EQ(lexed.runs[1].cls, CharClass::note);
    EXPECT_EQ(lexed.runs[2].cls, CharClass::duration);
    EXPECT_EQ(lexed.runs[2].offset, 6u);
}

}  // namespace
}  // namespace quarvel::lsp
