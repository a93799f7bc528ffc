#include <algorithm>

#include "compiler/score_image.h"

namespace quarvel {

TextPoint SourceMap::pointAt(std::size_t offset) const {
    // The compiler asks about the text it has just read: look at the last
    // lines first, then search.
    std::size_t line = lineStarts.size();
    for (int steps = 0; steps < 4 && line > 0 && lineStarts[line - 1] > offset; ++steps) --line;
    if (line > 0 && lineStarts[line - 1] > offset) {
        line = static_cast<std::size_t>(
            std::upper_bound(lineStarts.begin(),
                             lineStarts.begin() + static_cast<std::ptrdiff_t>(line), offset) -
            lineStarts.begin());
    }
    const std::size_t start = line > 0 ? lineStarts[line - 1] : 0;
    return {offset, static_cast<std::int64_t>(line), static_cast<std::int64_t>(offset - start) + 1};
}

TextRange SourceMap::rangeOf(const TextSpan& span) const {
    if (span.empty()) return {};
    return {pointAt(span.first), pointAt(span.last), false};
}

std::size_t SourceMap::offsetOf(std::int64_t line, std::int64_t column) const {
    if (line < 1) return 0;
    const std::size_t start = static_cast<std::size_t>(line) <= lineStarts.size()
                                  ? lineStarts[static_cast<std::size_t>(line) - 1]
                                  : SIZE_MAX / 2;  // past the text
    return column < 1 ? start : start + static_cast<std::size_t>(column) - 1;
}

std::optional<std::size_t> SourceMap::barAt(std::int64_t line, std::int64_t column) const {
    std::size_t offset = offsetOf(line, column);
    if (line >= 1 && static_cast<std::size_t>(line) < lineStarts.size()) {
        // A column at or past the end of its line counts within that line:
        // the bar under its last character, or the last bar whose notes
        // begin on it, or the first after the line. (The text ends with a
        // line end, so every line of it has a next.)
        const auto index = static_cast<std::size_t>(line) - 1;
        const std::size_t start = lineStarts[index];
        const std::size_t end = lineStarts[index + 1] - 1;  // the line end
        if (offset >= end) {
            offset = end;
            std::optional<std::size_t> onLine;
            for (std::size_t b = 0; b < bars.size() && end > start; ++b) {
                const TextSpan& text = bars[b].text;
                if (text.contains(end - 1)) return b;
                if (text.empty() || text.first < start || text.first >= end) continue;
                if (!onLine || text.first > bars[*onLine].text.first) onLine = b;
            }
            if (onLine) return onLine;
        }
    }
    std::optional<std::size_t> after;
    for (std::size_t b = 0; b < bars.size(); ++b) {
        const TextSpan& text = bars[b].text;
        if (text.contains(offset)) return b;
        if (text.empty() || text.first < offset) continue;
        if (!after || text.first < bars[*after].text.first) after = b;
    }
    return after;
}

std::optional<std::size_t> SourceMap::barOfEvent(std::size_t event) const {
    const auto after =
        std::upper_bound(bars.begin(), bars.end(), event,
                         [](std::size_t e, const BarSource& bar) { return e < bar.firstEvent; });
    if (after == bars.begin()) return std::nullopt;
    const auto& bar = *(after - 1);
    if (event >= bar.firstEvent + bar.eventCount) return std::nullopt;
    return static_cast<std::size_t>(after - 1 - bars.begin());
}

}  // namespace quarvel
