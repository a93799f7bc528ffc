// The score text cut into the pieces a reader of it sees: notes, rests,
// durations, commands with their arguments, bar lines, repeats, comments.
// It reads as the compiler does (letters folded, line ends invisible inside
// a piece) but never stops at a fault: the editor colours and explains the
// text after an error too. It also follows the few settings a hover names
// (voice, transposition, step offsets, note mode, key) in the order of the
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel::lsp {

enum class LexKind : std::uint8_t {
    note,
    rest,
    duration,
    command,  // a letter (or "=", "<", ">") and its argument
    barLine,
    barText,  // what "M" skips up to the next blank
    comment,
    repeatOpen,
    repeatClose,
    noteMode,  // "*", "@", "_"
    invalid,
};

// The colour classes of the characters, for semantic tokens.
enum class CharClass : std::uint8_t {
    comment,
    command,
    argument,
    note,
    accidental,
    articulation,
    duration,
    rest,
    noteMode,
    barLine,
    invalid,
};
inline constexpr int kCharClasses = 11;

struct Lexeme {
    LexKind kind = LexKind::invalid;
    char letter = 0;        // the first character, folded to upper case
    std::size_t first = 0;  // byte offsets of the first and the last character
    std::size_t last = 0;
    std::string argument;  // what follows the letter, folded, line ends left out
    // For notes: the first character after the step (accidentals follow);
    // the voice (0..4) current; the settings in force for the note's bar.
    std::size_t afterStep = 0;
    std::uint8_t voice = 0;
    std::int8_t transpose = 0;
    std::int8_t stepOffset = 0;
    char noteMode = '*';
    std::size_t noteModeAt = 0;      // where that mode was set (SIZE_MAX: never)
    std::uint8_t noteModeVoice = 0;  // the voice current there
    int keyCount = 0;                // the key written last before the note: count
    char keySign = '#';              // and sign
    std::size_t bar = 0;             // the bar line count before it in the text
};

struct CharRun {
    std::size_t offset = 0;
    std::size_t length = 0;  // bytes, on one line
    CharClass cls = CharClass::invalid;
};

struct LexedScore {
    std::vector<Lexeme> lexemes;
    std::vector<CharRun> runs;  // in the order of the text, one line each
};

LexedScore lexScore(std::string_view text);

// The lexeme that holds the byte at `offset`; nullptr when none.
const Lexeme* lexemeAt(const LexedScore& lexed, std::size_t offset);

}  // namespace quarvel::lsp
