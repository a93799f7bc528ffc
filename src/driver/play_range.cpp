#include "driver/play_range.h"

#include <algorithm>

namespace quarvel {

namespace {

// A decimal number from 1 up, nothing else around it.
std::optional<std::int64_t> positiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1) return std::nullopt;
    return value;
}

}  // namespace

std::optional<BarPlace> parseBarPlace(const std::string& text, bool placeAllowed,
                                      std::string* problem) {
    const std::size_t colon = text.find(':');
    BarPlace place;
    if (colon == std::string::npos) {
        if (const auto bar = positiveNumber(text)) {
            place.bar = static_cast<std::size_t>(*bar);
            return place;
        }
    } else if (placeAllowed) {
        const auto line = positiveNumber(text.substr(0, colon));
        const auto column = positiveNumber(text.substr(colon + 1));
        if (line && column) {
            place.line = *line;
            place.column = *column;
            return place;
        }
    }
    if (problem != nullptr) {
        *problem = "'" + text + "' is not a bar number" + (placeAllowed ? " or LINE:COLUMN" : "") +
                   " (bars are numbered from 1)";
    }
    return std::nullopt;
}

std::optional<FrameRange> resolveRange(const std::optional<BarPlace>& from,
                                       const std::optional<BarPlace>& to, const SourceMap& map,
                                       const Timeline& timeline, std::string* problem) {
    const auto fail = [problem](std::string why) -> std::optional<FrameRange> {
        if (problem != nullptr) *problem = std::move(why);
        return std::nullopt;
    };
    const auto barName = [](std::size_t index) { return "bar " + std::to_string(index + 1); };
    FrameRange range;
    range.end = timeline.totalFrames();
    std::optional<std::size_t> startBar;
    if (from) {
        if (from->bar) {
            if (*from->bar > map.bars.size()) {
                return fail("there is no bar " + std::to_string(*from->bar) + " (the score has " +
                            std::to_string(map.bars.size()) + ")");
            }
            startBar = *from->bar - 1;
        } else {
            startBar = map.barAt(from->line, from->column);
            if (!startBar) {
                return fail("no bar at or after line " + std::to_string(from->line) + " column " +
                            std::to_string(from->column));
            }
        }
        const auto start = timeline.startOfBar(*startBar);
        if (!start) return fail(barName(*startBar) + " does not sound in this rendering");
        range.start = *start;
        range.firstBar = startBar;
    }
    if (to && to->bar) {
        if (*to->bar > map.bars.size()) {
            return fail("there is no bar " + std::to_string(*to->bar) + " (the score has " +
                        std::to_string(map.bars.size()) + ")");
        }
        const std::size_t endBar = *to->bar - 1;
        if (startBar && endBar < *startBar) {
            return fail("the range ends (" + barName(endBar) + ") before it starts (" +
                        barName(*startBar) + ")");
        }
        // The end of the first pass over the end bar at or after the start.
        const auto& stretches = timeline.stretches();
        std::optional<std::uint64_t> end;
        for (std::size_t s = 0; s < stretches.size() && !end; ++s) {
            if (stretches[s].startFrame < range.start || stretches[s].bar != endBar) continue;
            end = s + 1 < stretches.size() ? stretches[s + 1].startFrame : timeline.totalFrames();
        }
        if (!end) {
            return fail(barName(endBar) + " does not sound" +
                        (startBar ? " from " + barName(*startBar) + " on" : std::string()));
        }
        range.end = *end;
    }
    return range;
}

std::size_t fillFromRange(Player& player, const FrameRange& range, std::uint32_t* buffer, bool loop,
                          const std::function<void(std::size_t)>& rewinding) {
    std::size_t filled = 0;
    bool rewound = false;  // a range that yields nothing must not spin
    while (filled < static_cast<std::size_t>(kBufferFrames)) {
        const std::uint64_t left = range.end - std::min(range.end, player.frame());
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(kBufferFrames) - filled, left));
        const std::size_t got = want == 0 ? 0 : player.render(buffer + filled, want);
        if (got == 0) {
            if (!loop || rewound) break;
            rewound = true;
            player.seekFrame(range.start);
            if (rewinding) rewinding(filled);
            continue;
        }
        rewound = false;
        filled += got;
    }
    return filled;
}

RenderResult renderRange(Player& player, FrameSink& sink, const FrameRange& range, bool loop,
                         bool keepCrc) {
    if (player.frame() != range.start) player.seekFrame(range.start);
    const std::uint64_t length = range.end > range.start ? range.end - range.start : 0;
    if (!loop || length == 0) return renderInto(player, sink, keepCrc, length);

    // Round and round: the range's end runs straight into its start, in the
    // same buffer, until the sink answers that the user stopped.
    return pushBuffers(sink, keepCrc, [&](std::uint32_t* buffer) {
        return fillFromRange(player, range, buffer, true);
    });
}

std::uint64_t nearestBarStart(const Timeline& timeline, std::size_t barCount,
                              const FrameRange& range, std::size_t bar) {
    if (barCount == 0) return range.start;
    const std::size_t from = std::min(bar, barCount - 1);
    const auto inRange = [&](std::size_t b) -> std::optional<std::uint64_t> {
        const auto start = timeline.startOfBar(b);
        if (start && *start >= range.start && *start < range.end) return start;
        return std::nullopt;
    };
    for (std::size_t b = from; b < barCount; ++b) {
        if (const auto start = inRange(b)) return *start;
    }
    for (std::size_t b = from; b-- > 0;) {
        if (const auto start = inRange(b)) return *start;
    }
    return range.start;
}

std::optional<std::uint64_t> barStep(const Timeline& timeline, const FrameRange& range,
                                     std::uint64_t now, bool sounding, int step) {
    const auto& stretches = timeline.stretches();
    if (stretches.empty()) return std::nullopt;
    // The stretch after the one sounding; after the end, past the last.
    const auto after = static_cast<std::ptrdiff_t>(
        std::upper_bound(
            stretches.begin(), stretches.end(), now,
            [](std::uint64_t f, const Timeline::Stretch& s) { return f < s.startFrame; }) -
        stretches.begin());
    const std::ptrdiff_t target = (sounding ? after - 1 : after) + step;
    if (target < 0) return range.start;
    if (target >= static_cast<std::ptrdiff_t>(stretches.size())) return std::nullopt;
    const std::uint64_t frame = stretches[static_cast<std::size_t>(target)].startFrame;
    if (frame >= range.end) return std::nullopt;
    return std::max(frame, range.start);
}

void HandedSound::restart() {
    handed_ = 0;
    segments_.clear();
}

void HandedSound::continueFrom(std::uint64_t frame, std::uint64_t ahead) {
    const std::uint64_t at = handed_ + ahead;
    if (!segments_.empty() && segments_.back().handed == at) segments_.pop_back();
    segments_.push_back({at, frame});
}

void HandedSound::jumpTo(std::uint64_t frame) {
    segments_.clear();
    segments_.push_back({handed_, frame});
}

std::optional<std::uint64_t> HandedSound::at(std::uint64_t played) {
    while (segments_.size() > 1 && segments_[1].handed <= played) segments_.pop_front();
    if (segments_.empty()) return std::nullopt;
    const Segment& s = segments_.front();
    return s.frame + (played > s.handed ? played - s.handed : 0);
}

}  // namespace quarvel
