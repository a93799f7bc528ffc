#include "lsp/text_lines.h"

#include <algorithm>

#include "compiler/utf8.h"

namespace quarvel::lsp {

namespace {

// UTF-16 code units of the character at text[i]: two past the first plane;
// a byte that starts no valid character counts as one (U+FFFD).
int unitsOf(std::string_view text, std::size_t i) {
    const Utf8Char c = decodeUtf8(text, i);
    return c.length != 0 && c.code >= 0x10000 ? 2 : 1;
}

}  // namespace

TextLines::TextLines(std::string_view text) : text_(text), starts_{0} {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (text[i] == '\r' || text[i] == '\n') starts_.push_back(i + 1);
    }
}

std::size_t TextLines::lineEnd(std::size_t line) const {
    if (line + 1 >= starts_.size()) return text_.size();
    std::size_t end = starts_[line + 1];
    if (end > starts_[line] && text_[end - 1] == '\n') --end;
    if (end > starts_[line] && text_[end - 1] == '\r') --end;
    return end;
}

std::size_t TextLines::offsetOf(LinePosition position) const {
    if (position.line < 0) return 0;
    if (static_cast<std::size_t>(position.line) >= starts_.size()) return text_.size();
    const auto line = static_cast<std::size_t>(position.line);
    const std::size_t end = lineEnd(line);
    std::size_t i = starts_[line];
    std::int64_t units = 0;
    while (i < end) {
        const int width = unitsOf(text_, i);
        if (units + width > position.character) break;
        units += width;
        i += std::max<std::size_t>(decodeUtf8(text_, i).length, 1);
    }
    return std::min(i, end);
}

LinePosition TextLines::positionOf(std::size_t offset) const {
    offset = std::min(offset, text_.size());
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
    const auto line = static_cast<std::size_t>(after - starts_.begin()) - 1;
    const std::size_t end = std::min(offset, lineEnd(line));
    std::int64_t units = 0;
    for (std::size_t i = starts_[line]; i < end;) {
        units += unitsOf(text_, i);
        i += std::max<std::size_t>(decodeUtf8(text_, i).length, 1);
    }
    return {static_cast<std::int64_t>(line), units};
}

LinePosition TextLines::positionOfColumn(std::int64_t line, std::int64_t column) const {
    if (line < 1) return {0, 0};
    if (static_cast<std::size_t>(line) > starts_.size()) return positionOf(text_.size());
    const std::size_t start = starts_[static_cast<std::size_t>(line) - 1];
    const std::size_t offset =
        start + static_cast<std::size_t>(std::max<std::int64_t>(column, 1)) - 1;
    // A column behind the line's end (the place just behind the text) stays
    // on its line.
    const std::size_t end = lineEnd(static_cast<std::size_t>(line) - 1);
    if (offset > end) {
        LinePosition p = positionOf(end);
        p.character += static_cast<std::int64_t>(offset - end);
        return p;
    }
    return positionOf(offset);
}

}  // namespace quarvel::lsp
