// Character-level access to the score text: line ends hidden, letters folded
// to upper case, line and column kept for error reports, and the small field
// readers that many commands share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/score_image.h"

namespace quarvel {

// The compile error numbers, as the play-mode report prints them.
enum class CompileErrorNumber {
    badCharacter = 2,     // not a hexadecimal digit, or no note
    outOfRange = 3,       // a command argument out of range
    partNumber = 4,       // a part number in use, or none to replay
    durationTooLong = 6,  // a duration longer than 255 ticks
};

// A compile error. number is a CompileErrorNumber; line, column and lineStart
// are the reader's counters when the fault was detected (column: bytes from
// the start of the line to just behind the last character read), which the
// play-mode report prints as they always were. `where` is the place to show
// people: the same, except that a fault found at the end of the text points
// just behind the file's last character instead of at the line after it, and
// a duration too long points at its letter.
struct CompileError {
    int number = 0;
    std::int64_t line = 0;
    std::int64_t column = 0;
    std::size_t lineStart = 0;  // offset of the line's first byte in the text
    std::string what;           // the fault in words, naming the command
    TextPoint where;
    std::vector<Warning> warnings;  // those found before the fault
};

inline constexpr std::uint8_t kEndOfText = 0xFF;

// The score file's bytes followed by CR, LF, 0xFF and 0. The appended line end
// gives the last line an end even when the file lacks one; the 0xFF marks the
// end of the text.
class SourceText {
  public:
    explicit SourceText(std::string_view fileBytes);
    // Takes the file's bytes over without copying them.
    explicit SourceText(std::vector<std::uint8_t>&& fileBytes);
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::size_t end() const { return end_; }  // position of the 0xFF end mark

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t end_;
};

// Letters fold to upper case; every other byte passes unchanged.
inline constexpr std::uint8_t foldUpper(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}

// The length in ticks of a duration letter whose undotted length is `base`,
// with the triplet sign ":" or not and `dots` dots: the triplet takes two
// thirds (rounded down), each dot adds half of what the one before added.
constexpr unsigned durationTicks(unsigned base, bool triplet, std::size_t dots) {
    unsigned total = triplet ? base * 2 / 3 : base;
    unsigned half = base;
    for (std::size_t d = 0; d < dots && half != 0; ++d) {
        half /= 2;
        total += half;
    }
    return total;
}

// The longest a duration letter may give: `W:.`, 224 ticks, is the longest
// there is.
inline constexpr unsigned kLongestDuration = 255;

// Whether one duration letter (W H Q I S T X, a triplet sign, dots) gives a
// length of `ticks`: a note of any other length can only be written as equal
// notes in a row, which the rendering joins.
constexpr bool isOneDuration(std::uint64_t ticks) {
    if (ticks > kLongestDuration) return false;
    for (const unsigned base : {192u, 96u, 48u, 24u, 12u, 6u, 3u}) {
        for (const bool triplet : {false, true}) {
            for (std::size_t dots = 0; (base >> dots) != 0; ++dots) {
                if (durationTicks(base, triplet, dots) == ticks) return true;
            }
        }
    }
    return false;
}

class SourceReader {
  public:
    explicit SourceReader(const SourceText& text);

    // Every character of the text passes here: the common case is inline.
    std::uint8_t nextChar() {
        if (cursor_ < end_) {
            const std::uint8_t c = bytes_[cursor_];
            if (c != '\r' && c != '\n') {
                ++cursor_;
                return foldUpper(c);
            }
        }
        return nextCharAfterLineEnds();
    }
    std::uint8_t peekChar() const {
        return cursor_ < end_ ? foldUpper(bytes_[cursor_]) : kEndOfText;
    }
    void unreadChar() {
        if (cursor_ > 0) --cursor_;
    }
    // The field readers. `wanted` says what the command takes, in words that
    // name the command ("the tempo `=` takes two hexadecimal digits"); a fault
    // adds what was found instead.
    std::uint8_t readHexDigit(std::string_view wanted = "a hexadecimal digit 0-9 or A-F");
    std::uint8_t readHexByte(std::string_view wanted = "two hexadecimal digits");
    std::uint8_t readInstrumentLetter(std::string_view wanted = "an instrument letter A to E");
    // Reads a duration letter's suffix (":" then dots) for the undotted length
    // `base` and returns the length in ticks.
    std::uint8_t readDuration(std::uint8_t base);

    [[noreturn]] void fail(CompileErrorNumber number, std::string what) const;
    // A fault that shows people another place than the reader's.
    [[noreturn]] void failAt(CompileErrorNumber number, std::string what, TextPoint where) const;
    // "`Q`", "byte 0x01" or "the end of the text": a character as a message names it.
    static std::string describe(std::uint8_t c);
    // Bytes of the text as they stand, for messages.
    std::string_view slice(std::size_t from, std::size_t length) const {
        return {reinterpret_cast<const char*>(bytes_) + from, length};
    }
    // The place of the character just read.
    TextPoint lastRead() const {
        return {cursor_ == 0 ? 0 : cursor_ - 1, lineNumber_,
                static_cast<std::int64_t>(cursor_) - static_cast<std::int64_t>(lineStart_)};
    }

    std::size_t position() const { return cursor_; }
    // Whether reading stopped before the end mark (on a byte 0xFF of the
    // file's own text), and how many bytes of the file lie after that place.
    bool stoppedEarly() const { return cursor_ < end_; }
    std::size_t unreadBytes() const { return end_ - cursor_ > 2 ? end_ - cursor_ - 2 : 0; }
    std::int64_t lineNumber() const { return lineNumber_; }
    std::size_t lineStart() const { return lineStart_; }
    // Appends the offset of the first byte of every new line passed to
    // `starts` (which must hold the first line's start already).
    void recordLinesInto(std::vector<std::size_t>* starts) { lineStarts_ = starts; }

    // Jumps back to a saved position with its line counters (repeats).
    void seek(std::size_t position, std::int64_t lineNumber, std::size_t lineStart) {
        cursor_ = position;
        lineNumber_ = lineNumber;
        lineStart_ = lineStart;
    }

  private:
    std::uint8_t nextCharAfterLineEnds();

    const std::uint8_t* bytes_;
    std::size_t end_;
    std::size_t cursor_ = 0;
    std::int64_t lineNumber_ = 1;
    std::size_t lineStart_ = 0;
    std::vector<std::size_t>* lineStarts_ = nullptr;
};

}  // namespace quarvel
