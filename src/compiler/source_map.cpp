#include <algorithm>

#include "compiler/score_image.h"

namespace quarvel {

bool TextRange::contains(std::int64_t line, std::int64_t column) const {
    if (empty) return false;
    const auto before = [](std::int64_t l1, std::int64_t c1, std::int64_t l2, std::int64_t c2) {
        return l1 < l2 || (l1 == l2 && c1 < c2);
    };
    return !before(line, column, first.line, first.column) &&
           !before(last.line, last.column, line, column);
}

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
