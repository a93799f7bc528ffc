// A range of the rendering to play, write or check: --from BAR or LINE:COL,
// --to BAR, and --loop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "compiler/score_image.h"
#include "output/render_loop.h"
#include "synth/player.h"

namespace quarvel {

// Where a range starts or ends, as written on the command line.
struct BarPlace {
    std::optional<std::size_t> bar;  // a bar number (from 1)
    std::int64_t line = 0;           // or a place in the text (from 1)
    std::int64_t column = 0;
};

// "12" or "3:17"; nullopt, with the reason, for anything else.
std::optional<BarPlace> parseBarPlace(const std::string& text, bool placeAllowed,
                                      std::string* problem);

// Frames [start, end) of the rendering laid out by `timeline`.
struct FrameRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::optional<std::size_t> firstBar;  // the bar the range starts at (an index)
};

// The range that --from and --to (either may be missing) choose in this
// rendering: from the first pass over the start bar to the end of the first
// pass over the end bar at or after it. nullopt, with the reason, when a bar
// does not exist or does not sound there, or the end lies before the start.
std::optional<FrameRange> resolveRange(const std::optional<BarPlace>& from,
                                       const std::optional<BarPlace>& to, const SourceMap& map,
                                       const Timeline& timeline, std::string* problem);

// Fills a buffer of kBufferFrames from the player within the range; with
// loop, the range's end runs straight into its start (rewinding is told how
// many frames the buffer held then). Less than full only at the end.
std::size_t fillFromRange(Player& player, const FrameRange& range, std::uint32_t* buffer, bool loop,
                          const std::function<void(std::size_t)>& rewinding = {});

// Plays (writes, checks) the range once, or again and again with `loop`
// until the sink answers that the user stopped. The player may stand
// anywhere; it is moved to the start of the range.
RenderResult renderRange(Player& player, FrameSink& sink, const FrameRange& range, bool loop,
                         bool keepCrc);

}  // namespace quarvel
