// Character-level access to the score text: line ends hidden, letters folded
// to upper case, line and column kept for error reports, and the small field
// readers that many commands share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

// A compile error: its number (2 bad digit or note character, 3 argument out of
// range, 4 part number in use or missing, 6 duration too long) and the reader's
// position when the fault was detected. column counts bytes from the start of
// the line to just behind the last character read.
struct CompileError {
    int number = 0;
    std::int64_t line = 0;
    std::int64_t column = 0;
    std::size_t lineStart = 0;  // offset of the line's first byte in the text
    std::string what;           // the fault in words, for people
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
    std::uint8_t readHexDigit();
    std::uint8_t readHexByte();
    std::uint8_t readInstrumentLetter();
    // Reads a duration letter's suffix (":" then dots) for the undotted length
    // `base` and returns the length in ticks.
    std::uint8_t readDuration(std::uint8_t base);

    [[noreturn]] void fail(int number, std::string what) const;

    std::size_t position() const { return cursor_; }
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
