// The lines of a document as an editor counts them (a line ends at LF, CR LF
// or CR) and positions in them as the language server protocol writes them:
// a line from 0 and a character offset in UTF-16 code units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quarvel::lsp {

struct LinePosition {
    std::int64_t line = 0;
    std::int64_t character = 0;  // UTF-16 code units from the line's start
};

class TextLines {
  public:
    explicit TextLines(std::string_view text);

    std::size_t count() const { return starts_.size(); }
    // The byte offset of a position. A character past the line's end means
    // the line's end, a line past the last one the end of the text; a
    // position inside a character that takes two code units, that character.
    std::size_t offsetOf(LinePosition position) const;
    LinePosition positionOf(std::size_t offset) const;
    // Line from 1 and column in bytes from 1, as the compiler counts them
    // (on the lines it counts too, which are these unless a line ends in LF
    // CR): the position on that line.
    LinePosition positionOfColumn(std::int64_t line, std::int64_t column) const;
    // The offset just past the last byte of line n (before its line end).
    std::size_t lineEnd(std::size_t line) const;
    std::size_t lineStart(std::size_t line) const { return starts_[line]; }

  private:
    std::string_view text_;
    std::vector<std::size_t> starts_;
};

}  // namespace quarvel::lsp
